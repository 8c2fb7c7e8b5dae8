#include "dispatch/data_context.h"

#include "platform/boundary.h"
#include "platform/dispatcher.h"

namespace {

// A private copy of a call's arguments, which the target's rewrite may change in place.
class ArgumentCopy {
  public:
    HRESULT Init(const DISPPARAMS* params) {
        if (!params) return S_OK;
        if ((params->cArgs && !params->rgvarg) ||
            (params->cNamedArgs && !params->rgdispidNamedArgs) ||
            params->cNamedArgs > params->cArgs)
            return E_INVALIDARG;
        values_.resize(params->cArgs);
        for (VARIANT& v : values_)
            VariantInit(&v);
        for (UINT i = 0; i < params->cArgs; ++i) {
            HRESULT hr = VariantCopy(&values_[i], &params->rgvarg[i]);
            if (FAILED(hr)) return hr;
        }
        named_.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
        params_ = DISPPARAMS{values_.data(), named_.data(), params->cArgs, params->cNamedArgs};
        given_ = true;
        return S_OK;
    }
    ~ArgumentCopy() {
        for (VARIANT& v : values_)
            VariantClear(&v);
    }
    DISPPARAMS* get() { return given_ ? &params_ : nullptr; }

  private:
    std::vector<VARIANT> values_;
    std::vector<DISPID> named_;
    DISPPARAMS params_{nullptr, nullptr, 0, 0};
    bool given_ = false;
};

bool IsDataContextMember(DISPID dispid) {
    return dispid >= IDataContext::kFirstDispid && dispid <= IDataContext::kLastDispid;
}

}  // namespace

void ContextWrapper::SetTargetAndContext(IDispatch* target, IDataContext* context) {
    target_ = target;
    context_ = context;
}

void ContextWrapper::ReleaseTargetAndContext() {
    ComPtr<IDispatch> target = std::move(target_);
    ComPtr<IDataContext> context = std::move(context_);
}

HRESULT ContextWrapper::WrapperGetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                             DISPID* dispids) {
    ComPtr<IDispatch> target = target_;
    if (!target) return E_FAIL;
    return target->GetIDsOfNames(riid, names, count, lcid, dispids);
}

HRESULT ContextWrapper::WrapperInvoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                      DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                                      UINT* argerr) {
    ComPtr<IDispatch> target = target_;
    ComPtr<IDataContext> context(WrapperContext());
    ArgumentCopy args;
    HRESULT copied = StatusOf([&] { return args.Init(params); });
    if (FAILED(copied)) return copied;
    DISPPARAMS* call_params = args.get();

    if (!target) return E_FAIL;
    ComPtr<IReadOnlyTest> test = target.As<IReadOnlyTest>();
    if (!test) {
        // Objects that do not take part cannot be written to through a context.
        if (flags & DISPATCH_PROPERTYPUT) return DISP_E_MEMBERNOTFOUND;
    } else {
        if (FAILED(test->RewriteCall(&dispid, call_params, &flags))) return DISP_E_MEMBERNOTFOUND;
        if (call_params && call_params->cArgs) {
            const VARIANT& first = call_params->rgvarg[call_params->cArgs - 1];
            if ((first.vt == VT_UNKNOWN || first.vt == VT_DISPATCH) && first.punkVal) {
                ComPtr<IPlaceHolder> placeholder;
                if (SUCCEEDED(first.punkVal->QueryInterface(placeholder.put())) && placeholder)
                    placeholder->put_Context(context);
            }
        }
    }

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    HRESULT hr = target->Invoke(dispid, riid, lcid, flags, call_params ? call_params : &none,
                                result, excepinfo, argerr);
    if (FAILED(hr) || !result) return hr;
    if ((result->vt != VT_DISPATCH && result->vt != VT_UNKNOWN) || !result->punkVal) return hr;
    if (test && FAILED(test->WrapResult(dispid))) return hr;

    // Objects that cannot be reached by name (enumerators) go back as they are.
    ComPtr<IDispatch> object;
    if (FAILED(result->punkVal->QueryInterface(object.put())) || !object) return hr;
    IDispatch* wrapper = nullptr;
    if (FAILED(MakeWrapper(object, context, &wrapper))) return hr;
    VariantClear(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = wrapper;
    return hr;
}

HRESULT CReadOnlyObject::Create(IDispatch* target, IDataContext* context, IDispatch** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<CReadOnlyObject> wrapper;
    HRESULT hr = MakeComObject(&wrapper);
    if (FAILED(hr)) return hr;
    wrapper->SetTargetAndContext(target, context);
    *out = wrapper.Detach();
    return S_OK;
}

HRESULT CReadOnlyObject::Destroy() {
    ReleaseTargetAndContext();
    return S_OK;
}

HRESULT CDataContext::Create(IDispatch* target, IDataContext** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<CDataContext> context;
    HRESULT hr = MakeComObject(&context);
    if (FAILED(hr)) return hr;
    context->SetTargetAndContext(target, nullptr);
    *out = context.Detach();
    return S_OK;
}

HRESULT CDataContext::MakeWrapper(IDispatch* object, IDataContext* context, IDispatch** out) {
    return CReadOnlyObject::Create(object, context, out);
}

HRESULT CDataContext::GetTypeInfoCount(UINT* count) {
    return NoTypeInfoCount(count);
}

HRESULT CDataContext::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    return NoTypeInfo(info);
}

HRESULT CDataContext::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                    DISPID* dispids) {
    if (SUCCEEDED(DispatchGetIDsOfNames(IDataContext::Describe(), names, count, dispids)))
        return S_OK;
    return WrapperGetIDsOfNames(riid, names, count, lcid, dispids);
}

HRESULT CDataContext::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) {
    if (IsDataContextMember(dispid)) {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        return DispatchInvoke(IDataContext::Describe(), static_cast<IDataContext*>(this), dispid,
                              lcid, flags, params ? params : &none, result, excepinfo, argerr);
    }
    return WrapperInvoke(dispid, riid, lcid, flags, params, result, excepinfo, argerr);
}

HRESULT CDataContext::DestroyDependantObjects() {
    // Remove may call back into this context (a placeholder's removal): work on the list taken.
    std::vector<ComPtr<IPlaceHolder>> dependants;
    {
        ObjectLock lock(this);
        dependants.swap(dependants_);
    }
    for (ComPtr<IPlaceHolder>& p : dependants)
        if (p) p->Remove();
    return S_OK;
}

HRESULT CDataContext::AddDependantObject(IPlaceHolder* placeholder) {
    if (!placeholder) return E_POINTER;
    ObjectLock lock(this);
    dependants_.emplace_back(placeholder);
    return S_OK;
}

HRESULT CDataContext::RemoveDependantObject(IPlaceHolder* placeholder) {
    if (!placeholder) return E_POINTER;
    return placeholder->Remove();
}

HRESULT CDataContext::_Breakout(IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    ComPtr<IDispatch> target = target_;
    if (!target) return E_FAIL;
    return target->QueryInterface(object);
}

HRESULT CDataContext::Destroy() {
    DestroyDependantObjects();
    ReleaseTargetAndContext();
    return S_OK;
}

size_t CDataContext::DependantCount() {
    ObjectLock lock(this);
    return dependants_.size();
}
