#include "host/bridge/library_object.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/type_info.h"

namespace brevanto_bridge {

const char* StatusText(HRESULT hr) {
    switch (hr) {
        case DISP_E_UNKNOWNNAME:
            return "Object doesn't support this property or method";
        case DISP_E_MEMBERNOTFOUND:
            return "Member not found";
        case DISP_E_TYPEMISMATCH:
            return "Type mismatch";
        case DISP_E_BADPARAMCOUNT:
            return "Wrong number of arguments or invalid property assignment";
        case DISP_E_PARAMNOTFOUND:
            return "Parameter not found";
        case DISP_E_OVERFLOW:
            return "Overflow";
        case DISP_E_BADINDEX:
            return "Subscript out of range";
        case E_INVALIDARG:
            return "Invalid argument";
        case E_POINTER:
            return "Invalid pointer";
        case E_NOTIMPL:
            return "Not implemented";
        case E_OUTOFMEMORY:
            return "Out of memory";
        case E_NOINTERFACE:
            return "No such interface supported";
        case RPC_E_DISCONNECTED:
            return "The object's apartment has ended";
        case CO_E_CLASSSTRING:
            return "Invalid class string";
        case REGDB_E_CLASSNOTREG:
            return "Class not registered";
        default:
            return "Unspecified error";
    }
}

bool IsEngineProbe(std::string_view name) {
    static constexpr std::string_view kNames[] = {"toString",
                                                  "toLocaleString",
                                                  "valueOf",
                                                  "constructor",
                                                  "hasOwnProperty",
                                                  "isPrototypeOf",
                                                  "propertyIsEnumerable",
                                                  "__proto__",
                                                  "toJSON",
                                                  "__defineGetter__",
                                                  "__defineSetter__",
                                                  "__lookupGetter__",
                                                  "__lookupSetter__",
                                                  "then"};
    // Asked for every read: library members start with a capital letter.
    if (name.empty() || (name[0] >= 'A' && name[0] <= 'Z')) return false;
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

namespace {

CallFailure Failure(std::string_view member, HRESULT hr, std::string_view description) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    CallFailure failure;
    failure.hr = hr;
    failure.message.append(member).append(": ").append(description).append(" (");
    failure.message.append(code).append(")");
    return failure;
}

}  // namespace

CallFailure CallFailure::FromCall(std::string_view member, HRESULT hr, const EXCEPINFO& info) {
    if (hr == DISP_E_EXCEPTION && info.scode != 0) hr = info.scode;
    if (info.bstrDescription)
        return Failure(member, hr,
                       Utf16ToUtf8({info.bstrDescription, SysStringLen(info.bstrDescription)}));
    return Failure(member, hr, StatusText(hr));
}

CallFailure CallFailure::FromStatus(std::string_view member, HRESULT hr) {
    return Failure(member, hr, StatusText(hr));
}

// Member kinds of one interface, read once from its type information and kept for the life of
// the process (type information is static data of the library).
class TypeKinds {
  public:
    static const TypeKinds* For(IDispatch* object) {
        UINT count = 0;
        if (FAILED(object->GetTypeInfoCount(&count)) || count == 0) return nullptr;
        ComPtr<ITypeInfo> info;
        if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) || !info)
            return nullptr;
        static auto* cache = new std::unordered_map<ITypeInfo*, std::unique_ptr<TypeKinds>>;
        auto found = cache->find(info.get());
        if (found != cache->end()) return found->second.get();
        auto kinds = std::make_unique<TypeKinds>();
        kinds->info_ = info;  // keeps the key's address from being reused
        TYPEATTR* attr = nullptr;
        if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
            for (UINT i = 0; i < attr->cFuncs; ++i) {
                FUNCDESC* f = nullptr;
                if (FAILED(info->GetFuncDesc(i, &f)) || !f) continue;
                MemberKinds& k = kinds->members_[f->memid];
                k.typed = true;
                if (f->invkind == INVOKE_FUNC) k.method = true;
                if (f->invkind == INVOKE_PROPERTYGET) {
                    k.get = true;
                    if (f->cParams > 0) k.get_with_args = true;
                }
                if (f->invkind == INVOKE_PROPERTYPUT) k.put = true;
                if (f->invkind == INVOKE_PROPERTYPUTREF) k.putref = true;
                info->ReleaseFuncDesc(f);
            }
            info->ReleaseTypeAttr(attr);
        }
        return cache->emplace(info.get(), std::move(kinds)).first->second.get();
    }
    MemberKinds Of(DISPID dispid) const {
        auto found = members_.find(dispid);
        return found == members_.end() ? MemberKinds{} : found->second;
    }

  private:
    ComPtr<ITypeInfo> info_;
    std::unordered_map<DISPID, MemberKinds> members_;
};

bool LibraryObject::Attach(IUnknown* object, IDispatch* dispatch, IUnknown* owner) {
    if (!object) return false;
    ComPtr<IUnknown> identity;
    if (FAILED(object->QueryInterface(IID_IUnknown, identity.put_void())) || !identity)
        identity = object;
    ComPtr<IDispatch> callable;
    if (dispatch)
        callable = dispatch;
    else if (FAILED(object->QueryInterface(IID_IDispatch, callable.put_void())))
        return false;
    if (!callable) return false;
    callable->QueryInterface(ex_.put());
    object_ = std::move(callable);
    identity_ = std::move(identity);
    if (owner != identity_.get()) owner_ = owner;
    return true;
}

MemberKinds LibraryObject::Kinds(DISPID dispid) {
    if (!kinds_read_) {
        kinds_ = TypeKinds::For(object_.get());
        kinds_read_ = true;
    }
    return kinds_ ? kinds_->Of(dispid) : MemberKinds{};
}

HRESULT LibraryObject::Resolve(const std::string& name, bool ensure, DISPID* dispid) {
    auto found = typed_ids_.find(name);
    if (found != typed_ids_.end()) {
        *dispid = found->second;
        return S_OK;
    }
    CComBSTR wide{std::string_view(name)};
    HRESULT hr;
    if (ex_) {
        hr = ex_->GetDispID(wide, ensure ? fdexNameEnsure : 0, dispid);
    } else if (name.find('\0') != std::string::npos) {
        // Names reach such an object as NUL-terminated text: the name would arrive cut short,
        // as the name of another member.
        hr = DISP_E_UNKNOWNNAME;
    } else {
        LPOLESTR names[] = {wide};
        hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, dispid);
    }
    if (SUCCEEDED(hr) && Kinds(*dispid).typed) typed_ids_.emplace(name, *dispid);
    return hr;
}

HRESULT LibraryObject::Invoke(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result,
                              ExcepInfo* info) {
    if (ex_)
        return ex_->InvokeEx(dispid, LOCALE_USER_DEFAULT, flags, params, result, info, nullptr);
    UINT argerr = 0;
    return object_->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, info,
                           &argerr);
}

LibraryObject::Read LibraryObject::ReadMember(const std::string& name) {
    Read read;
    // The engine's own probes must not leave members behind (they would be saved with the
    // object).
    if (ex_ && IsEngineProbe(name) && !HasExpando(name)) {
        read.failure = CallFailure::FromStatus(name, DISP_E_UNKNOWNNAME);
        return read;
    }
    if (HRESULT hr = Resolve(name, false, &read.dispid); FAILED(hr)) {
        read.failure = CallFailure::FromStatus(name, hr);
        return read;
    }
    const MemberKinds kinds = Kinds(read.dispid);
    if ((kinds.typed && !kinds.get) || kinds.get_with_args) {
        read.kind = ReadKind::kMethod;
        return read;
    }
    ExcepInfo info;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const HRESULT hr = Invoke(read.dispid, DISPATCH_PROPERTYGET, &none, &read.value, &info);
    if (!kinds.typed && (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT)) {
        read.kind = ReadKind::kMethod;
    } else if (FAILED(hr)) {
        read.kind = ReadKind::kFailed;
        read.failure = CallFailure::FromCall(name, hr, info);
    } else {
        read.kind = ReadKind::kValue;
    }
    return read;
}

CallFailure LibraryObject::WriteMember(const std::string& name, const VARIANT& value,
                                       bool value_is_object) {
    DISPID dispid;
    if (HRESULT hr = Resolve(name, true, &dispid); FAILED(hr))
        return CallFailure::FromStatus(name, hr);
    const MemberKinds kinds = Kinds(dispid);
    WORD flags = DISPATCH_PROPERTYPUT;
    if (kinds.putref && (!kinds.put || value_is_object)) flags = DISPATCH_PROPERTYPUTREF;
    ExcepInfo info;
    VARIANT argument = value;  // a view: the call does not own its arguments
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    const HRESULT hr = Invoke(dispid, flags, &params, nullptr, &info);
    return FAILED(hr) ? CallFailure::FromCall(name, hr, info) : CallFailure{};
}

CallFailure LibraryObject::Call(DISPID dispid, WORD flags, std::vector<CComVariant>& arguments,
                                std::string_view name, VARIANT* result) {
    static_assert(sizeof(CComVariant) == sizeof(VARIANT), "arguments are passed as an array");
    DISPPARAMS params{arguments.empty() ? nullptr : arguments.data(), nullptr,
                      static_cast<UINT>(arguments.size()), 0};
    ExcepInfo info;
    const HRESULT hr = Invoke(dispid, flags, &params, result, &info);
    return FAILED(hr) ? CallFailure::FromCall(name, hr, info) : CallFailure{};
}

bool LibraryObject::HasMember(const std::string& name) {
    if (ex_ && IsEngineProbe(name)) return HasExpando(name);
    DISPID dispid;
    return SUCCEEDED(Resolve(name, false, &dispid));
}

bool LibraryObject::HasExpando(std::string_view name) {
    if (!ex_) return false;
    const std::u16string wide = Utf8ToUtf16(name);
    DISPID dispid = DISPID_STARTENUM;
    while (ex_->GetNextDispID(fdexEnumAll, dispid, &dispid) == S_OK) {
        CComBSTR member;
        if (FAILED(ex_->GetMemberName(dispid, &member))) continue;
        // As the object's own lookups compare: regardless of case.
        const std::u16string_view text(member, member.Length());
        if (text.size() == wide.size() &&
            std::equal(text.begin(), text.end(), wide.begin(), [](char16_t a, char16_t b) {
                auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; };
                return lower(a) == lower(b);
            }))
            return true;
    }
    return false;
}

bool LibraryObject::DeleteMember(const std::string& name) {
    return ex_ && SUCCEEDED(ex_->DeleteMemberByName(CComBSTR(std::string_view(name)), 0));
}

std::vector<std::string> LibraryObject::MemberNames() {
    std::vector<std::string> names;
    if (!ex_) return names;
    DISPID dispid = DISPID_STARTENUM;
    while (ex_->GetNextDispID(fdexEnumAll, dispid, &dispid) == S_OK) {
        CComBSTR name;
        if (SUCCEEDED(ex_->GetMemberName(dispid, &name))) names.push_back(name.utf8());
    }
    return names;
}

}  // namespace brevanto_bridge
