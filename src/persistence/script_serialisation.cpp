#include "persistence/script_serialisation.h"

#include <algorithm>

#include "interfaces/persistence.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/case_fold.h"
#include "platform/safearray.h"
#include "platform/type_info.h"

namespace {

bool SameText(std::u16string_view a, std::u16string_view b, bool exact_case = false) {
    if (a.size() != b.size()) return false;
    if (exact_case) return a == b;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

CComBSTR Bstr(std::u16string_view text) {
    CComBSTR bstr(text);
    if (!bstr && !text.empty()) throw HResultError(E_OUTOFMEMORY);
    return bstr;
}

// The member's ID, without creating it: an expandable object may make a member of any name it
// is asked about through GetIDsOfNames, so objects that answer IDispatchEx are asked through it.
DISPID FindMember(IDispatch* object, std::u16string_view name) {
    CComBSTR bstr = Bstr(name);
    DISPID dispid = DISPID_UNKNOWN;
    if (ComPtr<IDispatchEx> ex = ComPtr<IDispatch>(object).As<IDispatchEx>()) {
        if (FAILED(ex->GetDispID(bstr, fdexNameCaseInsensitive, &dispid))) return DISPID_UNKNOWN;
        return dispid;
    }
    LPOLESTR names[] = {static_cast<BSTR>(bstr)};
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid)))
        return DISPID_UNKNOWN;
    return dispid;
}

HRESULT GetProperty(IDispatch* object, DISPID dispid, VARIANT* value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value,
                          nullptr, nullptr);
}

// The object a value holds (dispatch or unknown answering IDispatch); null for other values.
ComPtr<IDispatch> ObjectOf(const VARIANT& value) {
    const VARIANT& v =
        value.vt == (VT_VARIANT | VT_BYREF) && value.pvarVal ? *value.pvarVal : value;
    ComPtr<IDispatch> object;
    if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && v.punkVal)
        v.punkVal->QueryInterface(IID_IDispatch, object.put_void());
    return object;
}

ComPtr<IUnknown> Identity(IDispatch* object) {
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_IUnknown, identity.put_void());
    return identity;
}

// Turns an object's dynamic members off while it is walked, so that reading a member by name
// cannot create it.
class DynamicMembersOff {
  public:
    explicit DynamicMembersOff(IDispatch* object) {
        object->QueryInterface(uuidof<IQuorvaneSerialisable>(), serialisable_.put_void());
        if (serialisable_ && SUCCEEDED(serialisable_->get_DynamicMembers(&saved_)))
            serialisable_->put_DynamicMembers(VARIANT_FALSE);
    }
    ~DynamicMembersOff() {
        if (serialisable_) serialisable_->put_DynamicMembers(saved_);
    }
    IQuorvaneSerialisable* serialisable() const { return serialisable_.get(); }

  private:
    ComPtr<IQuorvaneSerialisable> serialisable_;
    VARIANT_BOOL saved_ = VARIANT_FALSE;
};

}  // namespace

bool IsContainerTypeText(std::u16string_view type) {
    return SameText(type, u"array") || SameText(type, u"object") ||
           type.find(u'.') != std::u16string_view::npos;
}

std::u16string TypeTextOf(const VARIANT& value) {
    const VARIANT& v =
        value.vt == (VT_VARIANT | VT_BYREF) && value.pvarVal ? *value.pvarVal : value;
    switch (v.vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_INT:
            return std::u16string(type_text::kInteger);
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UINT:
            return std::u16string(type_text::kUInteger);
        case VT_R4:
        case VT_R8:
        case VT_DECIMAL:
            return std::u16string(type_text::kFloat);
        case VT_BOOL:
            return std::u16string(type_text::kBool);
        default:
            break;
    }
    ComPtr<IDispatch> object = ObjectOf(v);
    if (!object) return {};
    if (ComPtr<IQuorvaneSerialisable> serialisable = object.As<IQuorvaneSerialisable>()) {
        CComBSTR name;
        if (SUCCEEDED(serialisable->GetTypeName(&name)) && name) return std::u16string(name.view());
    }
    DynamicMembersOff off(object.get());
    return std::u16string(FindMember(object.get(), u"length") != DISPID_UNKNOWN
                              ? type_text::kArray
                              : type_text::kObject);
}

CComVariant ValueFromTypedText(std::u16string_view text, std::u16string_view type,
                               bool exact_case) {
    CComVariant value;
    value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!value.bstrVal) throw HResultError(E_OUTOFMEMORY);
    value.vt = VT_BSTR;
    VARTYPE target = VT_BSTR;
    if (SameText(type, type_text::kInteger, exact_case))
        target = VT_I4;
    else if (SameText(type, type_text::kUInteger, exact_case))
        target = VT_UI4;
    else if (SameText(type, type_text::kFloat, exact_case) ||
             SameText(type, type_text::kNumber, exact_case))
        target = VT_DECIMAL;
    else if (SameText(type, type_text::kBool, exact_case))
        target = VT_BOOL;
    if (target != VT_BSTR) {
        CComVariant converted;
        if (SUCCEEDED(VariantChangeType(&converted, &value, 0, target))) return converted;
    }
    return value;
}

bool AssignMember(IDispatch* object, std::u16string_view name, const VARIANT& value) {
    if (!object) return false;
    DISPID dispid = FindMember(object, name);
    if (dispid == DISPID_UNKNOWN) {
        // Unknown names become members where the object allows it.
        ComPtr<IDispatchEx> ex = ComPtr<IDispatch>(object).As<IDispatchEx>();
        ComPtr<IQuorvaneSerialisable> serialisable =
            ComPtr<IDispatch>(object).As<IQuorvaneSerialisable>();
        VARIANT_BOOL dynamic = VARIANT_TRUE;
        if (serialisable && FAILED(serialisable->get_DynamicMembers(&dynamic)))
            dynamic = VARIANT_FALSE;
        if (!ex || dynamic != VARIANT_TRUE) return false;
        CComBSTR bstr = Bstr(name);
        if (FAILED(ex->GetDispID(bstr, fdexNameEnsure | fdexNameCaseSensitive, &dispid)))
            return false;
    }
    VARIANT arg = value;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &put, 1, 1};
    return SUCCEEDED(object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                    &params, nullptr, nullptr, nullptr));
}

// ---- Writing ----

std::vector<CJavascriptXMLWriter::Member> CJavascriptXMLWriter::MemberList(IDispatch* object) {
    std::vector<Member> members;
    UINT infos = 0;
    if (FAILED(object->GetTypeInfoCount(&infos))) infos = 0;
    for (UINT i = 0; i < infos && members.empty(); ++i) {
        ComPtr<ITypeInfo> info;
        if (FAILED(object->GetTypeInfo(i, LOCALE_SYSTEM_DEFAULT, info.put())) || !info) continue;
        TYPEATTR* attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr)) || !attr) continue;
        for (UINT f = 0; f < attr->cFuncs; ++f) {
            FUNCDESC* desc = nullptr;
            if (FAILED(info->GetFuncDesc(f, &desc)) || !desc) continue;
            if (desc->invkind == INVOKE_PROPERTYGET && desc->cParams == 0) {
                BSTR name = nullptr;
                UINT count = 0;
                if (SUCCEEDED(info->GetNames(desc->memid, &name, 1, &count)) && count == 1) {
                    members.push_back({std::u16string(name, SysStringLen(name)), desc->memid});
                }
                SysFreeString(name);
            }
            info->ReleaseFuncDesc(desc);
        }
        info->ReleaseTypeAttr(attr);
    }

    ComPtr<IQuorvaneSerialisable> serialisable =
        ComPtr<IDispatch>(object).As<IQuorvaneSerialisable>();
    if (serialisable) {
        CComVariant names;
        if (SUCCEEDED(serialisable->GetMemberNames(&names)) && names.vt == (VT_ARRAY | VT_BSTR)) {
            LONG low = 0, high = -1;
            SafeArrayGetLBound(names.parray, 1, &low);
            SafeArrayGetUBound(names.parray, 1, &high);
            for (LONG i = low; i <= high; ++i) {
                BSTR name = nullptr;
                if (FAILED(SafeArrayGetElement(names.parray, &i, &name))) continue;
                std::u16string text(name ? name : u"", SysStringLen(name));
                SysFreeString(name);
                DISPID dispid = FindMember(object, text);
                if (dispid != DISPID_UNKNOWN) members.push_back({std::move(text), dispid});
            }
        }
    } else if (members.empty()) {
        // A script engine's object: its own enumeration.
        if (ComPtr<IDispatchEx> ex = ComPtr<IDispatch>(object).As<IDispatchEx>()) {
            DISPID dispid = DISPID_STARTENUM;
            while (ex->GetNextDispID(fdexEnumAll, dispid, &dispid) == S_OK) {
                CComBSTR name;
                if (SUCCEEDED(ex->GetMemberName(dispid, &name)) && name)
                    members.push_back({std::u16string(name.view()), dispid});
            }
        }
    }
    return members;
}

void CJavascriptXMLWriter::WriteDocument(CXMLElementWriter& out) {
    if (!root_) return;
    CComVariant root;
    root.vt = VT_DISPATCH;
    root.pdispVal = root_.get();
    root_->AddRef();
    if (!out.BeginObject(u"root_object", TypeTextOf(root))) return;
    WriteMembers(root_.get(), out);
    out.EndObject();
}

void CJavascriptXMLWriter::WriteMembers(IDispatch* object, CXMLElementWriter& out) {
    ComPtr<IUnknown> identity = Identity(object);
    if (std::find(path_.begin(), path_.end(), identity.get()) != path_.end()) return;
    // The object's element is path_.size() + 1 deep, its members one deeper. The reader refuses
    // documents deeper than its limit; what it would refuse is not written.
    if (path_.size() + 2 > static_cast<std::size_t>(CXMLReader::kMaxDepth)) return;
    path_.push_back(identity.get());
    {
        DynamicMembersOff off(object);
        for (const Member& member : MemberList(object)) {
            CComVariant value;
            if (FAILED(GetProperty(object, member.dispid, &value))) continue;
            const std::u16string type = TypeTextOf(value);
            if (IsContainerTypeText(type)) {
                ComPtr<IDispatch> child = ObjectOf(value);
                if (!child) continue;
                ComPtr<IUnknown> child_identity = Identity(child.get());
                if (std::find(path_.begin(), path_.end(), child_identity.get()) != path_.end())
                    continue;  // a cycle: the object is already being written further up
                if (!out.BeginObject(member.name, type)) continue;
                WriteMembers(child.get(), out);
                out.EndObject();
                continue;
            }
            CComVariant text;
            const USHORT flags = value.vt == VT_BOOL ? VARIANT_ALPHABOOL : 0;
            if (FAILED(VariantChangeType(&text, &value, flags, VT_BSTR))) continue;
            out.Value(member.name, type,
                      {text.bstrVal ? text.bstrVal : u"", SysStringLen(text.bstrVal)});
        }
    }
    path_.pop_back();
}

// ---- Reading ----

bool CJScriptReadHelper::IsContainerType(std::u16string_view type) {
    return IsContainerTypeText(type);
}

void CJScriptReadHelper::Begin() {
    CXMLReadHelperBase::Begin();
    stack_.clear();
    root_ = nullptr;
}

ComPtr<IDispatch> CJScriptReadHelper::CreateObject(std::size_t, std::u16string_view type) {
    const bool array = SameText(type, u"array");
    if (array || type.empty() || SameText(type, u"object")) {
        if (!context_) return nullptr;
        DISPID eval = FindMember(context_.get(), u"eval");
        if (eval == DISPID_UNKNOWN) return nullptr;
        CComVariant args[2] = {CComVariant(u"unsafe"),
                               CComVariant(array ? u"new Array()" : u"new Object()")};
        DISPPARAMS params{args, nullptr, 2, 0};
        CComVariant result;
        if (FAILED(context_->Invoke(eval, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    &result, nullptr, nullptr)))
            return nullptr;
        return ObjectOf(result);
    }
    CComBSTR class_name = Bstr(type);
    CLSID clsid{};
    ComPtr<IDispatch> object;
    if (SUCCEEDED(CLSIDFromProgID(class_name, &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void());
    return object;
}

bool CJScriptReadHelper::OnObject(std::u16string_view name, std::u16string_view type) {
    CXMLReadHelperBase::OnObject(name, type);
    const bool parent_missing = !stack_.empty() && !stack_.back();
    ComPtr<IDispatch> object = parent_missing ? nullptr : CreateObject(stack_.size(), type);
    if (object) {
        if (!stack_.empty()) {
            CComVariant value;
            value.vt = VT_DISPATCH;
            value.pdispVal = object.get();
            object->AddRef();
            AssignMember(stack_.back().get(), name, value);
        } else {
            root_ = object;
        }
    }
    stack_.push_back(std::move(object));
    return true;
}

bool CJScriptReadHelper::OnProperty(std::u16string_view name, std::u16string_view value,
                                    std::u16string_view type) {
    CXMLReadHelperBase::OnProperty(name, value, type);
    if (stack_.empty() || !stack_.back()) return true;  // outside any object: assigns nothing
    AssignMember(stack_.back().get(), name, ValueFromTypedText(value, type, false));
    return true;
}

void CJScriptReadHelper::OnEnd() {
    CXMLReadHelperBase::OnEnd();
    if (EndedKind() != kObject || stack_.empty()) return;
    ComPtr<IDispatch> last = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty() && last) root_ = std::move(last);
}
