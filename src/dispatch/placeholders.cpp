#include "dispatch/placeholders.h"

HRESULT PlaceHolderImpl::get_Context(IDataContext** context) {
    if (!context) return E_POINTER;
    if (*context) (*context)->Release();
    CScopedLock lock(placeholder_lock_);
    return context_.CopyTo(context);
}

HRESULT PlaceHolderImpl::put_Context(IDataContext* context) {
    CScopedLock lock(placeholder_lock_);
    context_ = context;
    return S_OK;
}

HRESULT PlaceHolderImpl::get_Dependant(VARIANT* value) {
    if (!value) return E_POINTER;
    CScopedLock lock(placeholder_lock_);
    return VariantCopy(value, &dependant_);
}

HRESULT PlaceHolderImpl::put_Dependant(VARIANT value) {
    CComVariant copy;
    HRESULT hr = VariantCopyInd(&copy, &value);
    if (FAILED(hr)) return hr;
    CScopedLock lock(placeholder_lock_);
    dependant_ = std::move(copy);
    return S_OK;
}

HRESULT PlaceHolderImpl::AddToContext() {
    ComPtr<IDataContext> context;
    {
        CScopedLock lock(placeholder_lock_);
        context = context_;
    }
    return context ? context->AddDependantObject(this) : S_OK;
}

ComPtr<IDataContext> PlaceHolderImpl::TakeContext() {
    CScopedLock lock(placeholder_lock_);
    ComPtr<IDataContext> context = std::move(context_);
    return context;
}

CComVariant PlaceHolderImpl::TakeDependant() {
    CScopedLock lock(placeholder_lock_);
    CComVariant value = std::move(dependant_);
    return value;
}

HRESULT EventPlaceHolder::Register(IDispatch*) {
    return AddToContext();
}

HRESULT EventPlaceHolder::Remove() {
    // Without a current Global there is nobody to unregister from: only the context goes.
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    if (auto* global = hold.As<DispatchServices>()) {
        CComVariant id = TakeDependant();
        CComVariant number;
        if (id.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&number, &id, 0, VT_UI4)))
            global->UnRegisterForEvent(number.ulVal);
    }
    TakeContext();
    return S_OK;
}

HRESULT ScriptPlaceHolder::Register(IDispatch*) {
    return AddToContext();
}

HRESULT ScriptPlaceHolder::Remove() {
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    if (auto* global = hold.As<DispatchServices>()) {
        CComVariant id = TakeDependant();
        CComVariant text;
        if (id.vt != VT_EMPTY && id.vt != VT_NULL &&
            SUCCEEDED(VariantChangeType(&text, &id, 0, VT_BSTR)))
            global->RemoveScript(text.bstrVal);
    }
    TakeContext();
    return S_OK;
}
