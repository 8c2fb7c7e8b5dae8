// A library object as a page script engine reaches it, whatever the engine: the rules by which
// script reads, writes, calls, tests, deletes and enumerates its members, and the texts of the
// errors those calls raise. An engine's bridge keeps one per library object it shows to script
// and turns the outcomes into its own values and exceptions.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/automation.h"

namespace brevanto_bridge {

// Plain-language texts of the status codes a page meets most.
const char* StatusText(HRESULT hr);

// The names script engines read from any object on their own (conversions, JSON, promises, the
// members of Object.prototype): not the page's own reads.
bool IsEngineProbe(std::string_view name);

// Exception information a call may fill; frees its texts.
struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO{} {}
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
};

// What a failed library call raises in script: the status (the exception information's own
// code when it has one) and "member: description (0x8002000E)".
struct CallFailure {
    HRESULT hr = S_OK;
    std::string message;

    bool failed() const { return FAILED(hr); }
    // The description is the exception information's text, else the status's plain text.
    static CallFailure FromCall(std::string_view member, HRESULT hr, const EXCEPINFO& info);
    static CallFailure FromStatus(std::string_view member, HRESULT hr);
};

// What the type information says of one member.
struct MemberKinds {
    bool typed = false;
    bool method = false;
    bool get = false;
    bool get_with_args = false;
    bool put = false;
    bool putref = false;
};

class TypeKinds;

class LibraryObject {
  public:
    // How a member read comes out.
    enum class ReadKind {
        kNotMember,  // the object has no such member (failure.hr says why)
        kMethod,     // script gets a function that calls the member
        kValue,      // script gets `value`
        kFailed,     // the read failed: raise `failure`
    };
    struct Read {
        ReadKind kind = ReadKind::kNotMember;
        DISPID dispid = DISPID_UNKNOWN;
        CComVariant value;
        CallFailure failure;
    };

    // Takes the object: `dispatch` is the interface to call (null: ask `object` for one);
    // `owner` is the object it was read from, which may embed it and is then kept alive with
    // it. False when the object has no dispatch interface.
    bool Attach(IUnknown* object, IDispatch* dispatch, IUnknown* owner);

    // Its IUnknown identity: one script object per identity.
    IUnknown* identity() const { return identity_.get(); }
    IDispatch* dispatch() const { return object_.get(); }
    // Null when the object takes no expando members.
    IDispatchEx* dispatch_ex() const { return ex_.get(); }

    // The DISPID of a member name; `ensure` creates an expando member where the object can.
    // Names the type information declares are asked once: they denote the same member for
    // ever. Other names (expandos, a packet's byte names) can change meaning and are asked
    // each time.
    HRESULT Resolve(const std::string& name, bool ensure, DISPID* dispid);
    MemberKinds Kinds(DISPID dispid);
    HRESULT Invoke(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result, ExcepInfo* info);

    // `object.name`: typed methods and properties that take arguments read as functions; an
    // untyped object tells a method from a property only by refusing the read.
    Read ReadMember(const std::string& name);
    // `object.name = value`. A member that takes references takes objects by reference
    // (`value_is_object`: the script value was an object).
    CallFailure WriteMember(const std::string& name, const VARIANT& value, bool value_is_object);
    // Calls a member (a method, a property with arguments, the default member with
    // DISPID_VALUE, a constructor with DISPATCH_CONSTRUCT) with arguments in dispatch order
    // (last first). `name` is the member as the error text names it.
    CallFailure Call(DISPID dispid, WORD flags, std::vector<CComVariant>& arguments,
                     std::string_view name, VARIANT* result);
    // `name in object`
    bool HasMember(const std::string& name);
    // Whether an expando member `name` was written, without creating it: looking a name up in
    // an object that takes expandos creates the member.
    bool HasExpando(std::string_view name);
    // `delete object.name`: true when an expando member was deleted.
    bool DeleteMember(const std::string& name);
    // The expando members' names, for enumeration.
    std::vector<std::string> MemberNames();

  private:
    ComPtr<IUnknown> owner_;  // the object this one was read from: it may embed this one
    ComPtr<IUnknown> identity_;
    ComPtr<IDispatch> object_;
    ComPtr<IDispatchEx> ex_;
    const TypeKinds* kinds_ = nullptr;
    bool kinds_read_ = false;
    std::unordered_map<std::string, DISPID> typed_ids_;
};

}  // namespace brevanto_bridge
