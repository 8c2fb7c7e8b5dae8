// Stand-ins for what page scripts hand the library: a script function that records its calls,
// a script array, and a script object with members. The function and the array are agile, so
// the cross-thread holders give them back directly; ApartmentScriptFunction is not, and runs on
// the thread of the apartment that made it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/disp_ex_object.h"
#include "platform/apartment.h"
#include "platform/com_object.h"
#include "platform/enum_variant.h"
#include "platform/variant.h"
#include "support/nameless_dispatch.h"
#include "support/show.h"
#include "support/waitable_log.h"

// A new object with one reference; expects the creation to succeed.
template <class T, class... Args>
ComPtr<T> New(Args&&... args) {
    ComPtr<T> object;
    EXPECT_EQ(MakeComObject(&object, std::forward<Args>(args)...), S_OK);
    return object;
}

// True when both are the same object (or both null).
inline bool SameObject(IUnknown* a, IUnknown* b) {
    ComPtr<IUnknown> ua, ub;
    if (a) a->QueryInterface(IID_IUnknown, ua.put_void());
    if (b) b->QueryInterface(IID_IUnknown, ub.put_void());
    return ua.get() == ub.get();
}

// One call of a script function as the function saw it.
struct ScriptCall {
    WORD flags = 0;
    LCID lcid = 0;
    unsigned long thread = 0;
    std::vector<CComVariant> args;  // the positional arguments in script order
    ComPtr<IDispatch> self;         // the named DISPID_THIS argument

    // Positional argument `i` when it holds an object, else null.
    IDispatch* Object(std::size_t i = 0) const {
        return i < args.size() && args[i].vt == VT_DISPATCH ? args[i].pdispVal : nullptr;
    }
};

// A script function: answers a call of its default member with `result` (or fails with
// `failure`) and records the call. `on_call` runs inside each call with its first argument;
// `log` collects a non-empty `tag` per call, to see the order of calls to several functions.
class ScriptFunctionBase : public NamelessDispatch {
  public:
    CComVariant result;
    HRESULT failure = S_OK;
    std::function<void(IDispatch* argument)> on_call;
    std::vector<std::string>* log = nullptr;
    std::string tag;

    HRESULT Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* out,
                   EXCEPINFO*, UINT*) override {
        if (id != DISPID_VALUE || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        ScriptCall call{flags, lcid, brevanto::CurrentThreadId(), {}, nullptr};
        for (UINT i = params ? params->cArgs : 0; i-- > 0;) {  // rgvarg holds them last first
            const VARIANT& v = params->rgvarg[i];
            if (i >= params->cNamedArgs) {
                call.args.emplace_back(v);
            } else if (params->rgdispidNamedArgs[i] == DISPID_THIS && v.vt == VT_DISPATCH) {
                call.self = v.pdispVal;
            }
        }
        if (log && !tag.empty()) log->push_back(tag);
        const ComPtr<IDispatch> argument = call.Object();
        calls_.Add(std::move(call));
        if (on_call) on_call(argument.get());
        if (FAILED(failure)) return failure;
        return out ? VariantCopy(out, &result) : S_OK;
    }

    int Calls() { return static_cast<int>(calls_.Size()); }
    std::vector<ScriptCall> All() { return calls_.All(); }
    ScriptCall Last() {
        auto all = calls_.All();
        return all.empty() ? ScriptCall{} : all.back();
    }
    // Waits (bounded) for `count` calls in all.
    bool WaitFor(std::size_t count, std::chrono::milliseconds patience = kPatience) {
        return calls_.WaitFor(count, patience).size() >= count;
    }
    // Drops the recorded calls and the references their arguments held.
    void Forget() { calls_.Clear(); }

  protected:
    ~ScriptFunctionBase() = default;

  private:
    WaitableLog<ScriptCall> calls_;
};

class ScriptFunction : public ComObjectRoot<ScriptFunction, ScriptFunctionBase, IMarshal> {
  public:
    static ComPtr<ScriptFunction> Returning(CComVariant result,
                                            std::vector<std::string>* log = nullptr,
                                            std::string tag = "") {
        auto f = New<ScriptFunction>();
        f->result = std::move(result);
        f->log = log;
        f->tag = std::move(tag);
        return f;
    }
};
class ApartmentScriptFunction : public ComObjectRoot<ApartmentScriptFunction, ScriptFunctionBase> {
};

// A script array: a "length" property (or another name), one property per element named by its
// index, and an enumerator of the elements under DISPID -4 (or under the name "_NewEnum"). An
// element left empty in `elements` is a hole: its name does not exist.
class ScriptArray : public ComObjectRoot<ScriptArray, NamelessDispatch, IMarshal> {
  public:
    static constexpr DISPID kLength = 1000;
    static constexpr DISPID kNamedEnum = 1001;

    static ComPtr<ScriptArray> Of(std::vector<std::optional<CComVariant>> elements) {
        auto a = New<ScriptArray>();
        a->elements = std::move(elements);
        return a;
    }
    static ComPtr<ScriptArray> Bytes(const std::vector<int>& bytes) {
        std::vector<std::optional<CComVariant>> elements;
        for (int b : bytes)
            elements.emplace_back(CComVariant(LONG{b}));
        return Of(std::move(elements));
    }

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* id) override {
        std::u16string name = names[0];
        *id = DISPID_UNKNOWN;
        if (name == length_name) {
            *id = kLength;
        } else if (name == u"_NewEnum" && named_enum) {
            *id = kNamedEnum;
        } else if (!name.empty() && name.find_first_not_of(u"0123456789") == std::u16string::npos) {
            size_t i = std::stoul(std::string(name.begin(), name.end()));
            if (i < elements.size() && elements[i]) *id = static_cast<DISPID>(i);
        }
        return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id == kLength) {
            if (claimed_length) return VariantCopy(result, &*claimed_length);
            VariantClear(result);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(elements.size());
            return S_OK;
        }
        if ((id == DISPID_NEWENUM && !named_enum) || id == kNamedEnum) {
            auto values = std::make_shared<std::vector<CComVariant>>();
            for (auto& e : elements)
                if (e) values->push_back(*e);
            IEnumVARIANT* e = nullptr;
            HRESULT hr = CEnumVariantValues::Create(values, &e);
            if (FAILED(hr)) return hr;
            VariantClear(result);
            result->vt = VT_UNKNOWN;
            result->punkVal = e;
            return S_OK;
        }
        if (id >= 0 && static_cast<size_t>(id) < elements.size() && elements[id])
            return VariantCopy(result, &*elements[id]);
        return DISP_E_MEMBERNOTFOUND;
    }

    std::vector<std::optional<CComVariant>> elements;
    std::u16string length_name = u"length";
    std::optional<CComVariant> claimed_length;  // answered for the length instead of the size
    bool named_enum = false;
};

// A script object with the given members.
inline ComPtr<IDispatchEx> ScriptObject(
    std::initializer_list<std::pair<const char16_t*, CComVariant>> values) {
    ComPtr<CDispExObject> bag;
    EXPECT_EQ(CDispExObject::Create(&bag), S_OK);
    for (const auto& [name, value] : values)
        EXPECT_EQ(bag->members().SetValue(name, value), S_OK);
    return ComPtr<IDispatchEx>(bag.get());
}

// The object a variant passes to the library.
inline CComVariant AsVariant(IUnknown* object) {
    ComPtr<IDispatch> d;
    if (object) object->QueryInterface(IID_IDispatch, d.put_void());
    return CComVariant(d.get());
}
