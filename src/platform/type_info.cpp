#include "platform/type_info.h"

#include <new>

#include "platform/case_fold.h"
#include "platform/dispatcher.h"

namespace {

// Automation types that share a C++ type: the table may name either.
bool FitsNative(VARTYPE declared, VARTYPE native) {
    if (declared == native) return true;
    switch (native) {
        case VT_I2:
            return declared == VT_BOOL;
        case VT_R8:
            return declared == VT_DATE;
        case VT_I4:
            return declared == VT_ERROR || declared == VT_INT || declared == VT_HRESULT;
        case VT_UI4:
            return declared == VT_UINT;
        default:
            return false;
    }
}

std::string Narrow(const std::u16string& text) {
    return Utf16ToUtf8(text);
}

size_t KindSlot(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method:
            return 0;
        case MemberKind::Get:
            return 1;
        case MemberKind::Put:
            return 2;
        case MemberKind::PutRef:
            return 3;
    }
    return 0;
}

}  // namespace

std::u16string FoldName(std::u16string_view name) {
    return FoldCase(name);
}

size_t MemberDesc::RequiredParams() const {
    size_t required = 0;
    for (size_t i = 0; i < params.size(); ++i)
        if (!(params[i].flags & PARAMFLAG_FOPT)) required = i + 1;
    return required;
}

namespace type_detail {

void CompleteMember(MemberDesc& member, std::vector<ParamDesc> signature, bool has_ret,
                    VARTYPE native_result_vt, const IID* result_iid,
                    std::initializer_list<Arg> args, VARTYPE result_vt) {
    const std::string where = "member " + Narrow(member.name);
    if (signature.size() != args.size())
        throw std::logic_error(where + ": the table names " + std::to_string(args.size()) + " of " +
                               std::to_string(signature.size()) + " parameters");
    size_t i = 0;
    for (const Arg& arg : args) {
        ParamDesc& p = signature[i++];
        p.name = arg.name;
        if (arg.vt != VT_EMPTY) {
            if (!FitsNative(arg.vt, p.vt))
                throw std::logic_error(where + ": parameter " + Narrow(arg.name) +
                                       " cannot be held as the declared type");
            p.vt = arg.vt;
        }
        p.flags = arg.flags;
        if (p.by_ref) p.flags |= PARAMFLAG_FOUT;
        if ((p.flags & PARAMFLAG_FOPT) && !(p.flags & PARAMFLAG_FHASDEFAULT) && p.vt != VT_VARIANT)
            throw std::logic_error(where + ": only VARIANT parameters can be optional");
        if (p.flags & PARAMFLAG_FHASDEFAULT) p.default_value = arg.default_value;
    }
    if (has_ret) {
        if (result_vt != VT_EMPTY && !FitsNative(result_vt, native_result_vt))
            throw std::logic_error(where + ": the result cannot be held as the declared type");
        member.result_vt = result_vt != VT_EMPTY ? result_vt : native_result_vt;
        member.result_iid = result_iid;
    } else if (result_vt != VT_EMPTY) {
        throw std::logic_error(where + ": a result type for a member without result");
    }
    if ((member.kind == MemberKind::Put || member.kind == MemberKind::PutRef) &&
        (has_ret || signature.empty()))
        throw std::logic_error(where + ": a put takes the value as its last parameter");
    member.params = std::move(signature);
}

}  // namespace type_detail

// The platform's ITypeInfo over one interface description.
class TypeInfoImpl final : public ITypeInfo {
  public:
    explicit TypeInfoImpl(const InterfaceDesc& desc) : desc_(desc) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
            *object = static_cast<ITypeInfo*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as its description, which is static.
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    HRESULT GetTypeAttr(TYPEATTR** attr) override {
        if (!attr) return E_POINTER;
        auto* a = new (std::nothrow) TYPEATTR{};
        if (!a) return E_OUTOFMEMORY;
        a->guid = desc_.iid();
        a->lcid = 0;
        a->memidConstructor = DISPID_UNKNOWN;
        a->memidDestructor = DISPID_UNKNOWN;
        a->typekind = TKIND_DISPATCH;
        a->cFuncs = static_cast<WORD>(desc_.functions().size());
        a->cImplTypes = 1;
        a->cbSizeVft = static_cast<WORD>(7 * sizeof(void*));
        a->cbAlignment = alignof(void*);
        a->wTypeFlags = desc_.type_flags();
        *attr = a;
        return S_OK;
    }
    HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
    HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override {
        if (!desc) return E_POINTER;
        if (index >= desc_.functions().size()) return TYPE_E_ELEMENTNOTFOUND;
        *desc = const_cast<FUNCDESC*>(&desc_.functions()[index]->funcdesc);
        return S_OK;
    }
    HRESULT GetVarDesc(UINT, VARDESC**) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) override {
        if (!names || !count) return E_POINTER;
        *count = 0;
        const MemberDesc* m = nullptr;
        for (MemberKind k :
             {MemberKind::Method, MemberKind::Get, MemberKind::Put, MemberKind::PutRef})
            if (!m) m = desc_.Find(memid, k);
        if (!m) return TYPE_E_ELEMENTNOTFOUND;
        auto put = [&](const std::u16string& name) {
            if (*count >= max_names) return;
            names[*count] = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            ++*count;
        };
        put(m->name);
        for (const ParamDesc& p : m->params)
            put(p.name);
        return S_OK;
    }
    HRESULT GetRefTypeOfImplType(UINT, HREFTYPE*) override { return E_NOTIMPL; }
    HRESULT GetImplTypeFlags(UINT, INT*) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
        return DispatchGetIDsOfNames(desc_, names, count, ids);
    }
    HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepinfo, UINT* argerr) override {
        if (!instance) return E_INVALIDARG;
        return DispatchInvoke(desc_, instance, memid, LOCALE_USER_DEFAULT, flags, params, result,
                              excepinfo, argerr);
    }
    HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                             BSTR* help_file) override {
        const std::u16string* text = nullptr;
        if (memid == DISPID_UNKNOWN) {
            text = &desc_.name();
        } else {
            for (const MemberDesc* m : desc_.functions())
                if (m->dispid == memid) {
                    text = &m->name;
                    break;
                }
        }
        if (!text) return TYPE_E_ELEMENTNOTFOUND;
        if (name) *name = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
        if (doc) *doc = nullptr;
        if (help_context) *help_context = 0;
        if (help_file) *help_file = nullptr;
        return S_OK;
    }
    HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
    HRESULT GetRefTypeInfo(HREFTYPE, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void**) override { return E_NOTIMPL; }
    HRESULT CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
    HRESULT GetContainingTypeLib(ITypeLib**, UINT*) override { return E_NOTIMPL; }
    void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
    void ReleaseFuncDesc(FUNCDESC*) override {}
    void ReleaseVarDesc(VARDESC*) override {}

  private:
    const InterfaceDesc& desc_;
};

InterfaceDesc::InterfaceDesc(std::u16string name, const IID& iid, const InterfaceDesc* base,
                             std::vector<MemberDesc> members, WORD type_flags)
    : name_(std::move(name)),
      iid_(iid),
      base_(base),
      type_flags_(type_flags),
      members_(std::move(members)),
      type_info_(std::make_unique<TypeInfoImpl>(*this)) {
    if (base_) all_ = base_->all_;
    for (MemberDesc& m : members_) {
        // The platform's FUNCDESC, dispatch form: parameters without the retval.
        m.elemdescs.resize(m.params.size());
        m.pointees.resize(m.params.size());
        m.defaults.resize(m.params.size());
        SHORT optional = 0;
        for (size_t i = 0; i < m.params.size(); ++i) {
            const ParamDesc& p = m.params[i];
            ELEMDESC& e = m.elemdescs[i];
            e.paramdesc.wParamFlags = p.flags;
            if (p.by_ref) {
                m.pointees[i].vt = p.vt;
                e.tdesc.vt = VT_PTR;
                e.tdesc.lptdesc = &m.pointees[i];
            } else {
                e.tdesc.vt = p.vt;
            }
            if (p.flags & PARAMFLAG_FHASDEFAULT) {
                m.defaults[i].cBytes = sizeof(PARAMDESCEX);
                m.defaults[i].varDefaultValue = p.default_value;  // borrowed, not owned
                e.paramdesc.pparamdescex = &m.defaults[i];
            } else if (p.flags & PARAMFLAG_FOPT) {
                ++optional;
            }
        }
        FUNCDESC& f = m.funcdesc;
        f.memid = m.dispid;
        f.funckind = FUNC_DISPATCH;
        f.invkind = static_cast<INVOKEKIND>(m.kind);
        f.callconv = CC_STDCALL;
        f.cParams = static_cast<SHORT>(m.params.size());
        f.cParamsOpt = optional;
        f.lprgelemdescParam = m.elemdescs.empty() ? nullptr : m.elemdescs.data();
        f.elemdescFunc.tdesc.vt = m.result_vt == VT_EMPTY ? VARTYPE{VT_VOID} : m.result_vt;
        all_.push_back(&m);
    }
    for (const MemberDesc* m : all_) {
        auto& slots = by_dispid_[m->dispid];
        slots[KindSlot(m->kind)] = m;
        by_name_.emplace(FoldName(m->name), m->dispid);
    }
}

InterfaceDesc::~InterfaceDesc() = default;

const MemberDesc* InterfaceDesc::Find(DISPID dispid, MemberKind kind) const {
    auto it = by_dispid_.find(dispid);
    return it == by_dispid_.end() ? nullptr : it->second[KindSlot(kind)];
}

DISPID InterfaceDesc::FindName(std::u16string_view name) const {
    auto it = by_name_.find(FoldName(name));
    return it == by_name_.end() ? DISPID_UNKNOWN : it->second;
}

ITypeInfo* InterfaceDesc::type_info() const {
    return type_info_.get();
}
