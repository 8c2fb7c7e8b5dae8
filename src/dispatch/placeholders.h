// Placeholders: what a page registers through its data context (an event handler, a loaded
// script, an element of a long-lived collection), so that destroying the context's dependants
// undoes it.
#pragma once

#include "interfaces/dispatch.h"
#include "platform/com_object.h"
#include "platform/git_ptr.h"
#include "platform/script_call.h"
#include "runtime/current_global.h"

// What placeholders undo through the current Global (the members of the same name of Global).
class DispatchServices : public virtual GlobalService {
  public:
    virtual HRESULT UnRegisterForEvent(ULONG EventHandlerID) = 0;
    virtual HRESULT RemoveScript(BSTR ScriptID) = 0;
};

// Context and Dependant storage shared by the placeholders.
class PlaceHolderImpl : public IPlaceHolder {
  public:
    using Interface = IPlaceHolder;

    HRESULT get_Context(IDataContext** context) override;
    HRESULT put_Context(IDataContext* context) override;
    HRESULT get_Dependant(VARIANT* value) override;
    HRESULT put_Dependant(VARIANT value) override;

  protected:
    ~PlaceHolderImpl() = default;
    // Adds the placeholder to its context's dependants, if it has a context.
    HRESULT AddToContext();
    ComPtr<IDataContext> TakeContext();
    CComVariant TakeDependant();

    CCriticalSectionEx placeholder_lock_;
    ComPtr<IDataContext> context_;
    CComVariant dependant_;
};

// An event handler registered through a context: Dependant is the handler ID.
class EventPlaceHolder : public ComObjectRoot<EventPlaceHolder, PlaceHolderImpl, IMarshal> {
  public:
    HRESULT Register(IDispatch* call) override;
    HRESULT Remove() override;
};

// A script loaded through a context: Dependant is the script ID.
class ScriptPlaceHolder : public ComObjectRoot<ScriptPlaceHolder, PlaceHolderImpl, IMarshal> {
  public:
    HRESULT Register(IDispatch* call) override;
    HRESULT Remove() override;
};

// An element of a collection added through a context. The element and the collection's removal
// function are held cross-thread; Remove calls the removal function with the placeholder itself
// (so the collection finds the entry by identity) and then lets go of everything.
template <class I>
class CollectionPlaceHolder
    : public ComObjectRoot<CollectionPlaceHolder<I>, PlaceHolderImpl, IMarshal> {
  public:
    // A new placeholder standing for `element` (an object that answers I), with one reference.
    static HRESULT Create(const VARIANT& element, IPlaceHolder** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        ComPtr<CollectionPlaceHolder> p;
        HRESULT hr = MakeComObject(&p);
        if (FAILED(hr)) return hr;
        hr = p->put_Dependant(element);
        if (FAILED(hr)) return hr;
        *out = p.Detach();
        return S_OK;
    }

    HRESULT get_Dependant(VARIANT* value) override {
        if (!value) return E_POINTER;
        VariantClear(value);
        ComPtr<I> element;
        {
            CScopedLock lock(this->placeholder_lock_);
            if (!element_.GetCookie()) return S_OK;  // stands for nothing (any more)
            HRESULT hr = element_.CopyTo(element.put());
            if (FAILED(hr)) return hr;
        }
        ComPtr<IUnknown> unknown;
        element->QueryInterface(unknown.put());
        value->vt = VT_UNKNOWN;
        value->punkVal = unknown.Detach();
        return S_OK;
    }
    HRESULT put_Dependant(VARIANT value) override {
        CComVariant object;
        HRESULT hr = VariantChangeType(&object, &value, 0, VT_UNKNOWN);
        if (FAILED(hr)) return hr;
        ComPtr<I> element;
        if (!object.punkVal || FAILED(object.punkVal->QueryInterface(element.put())) || !element)
            return E_INVALIDARG;
        CScopedLock lock(this->placeholder_lock_);
        return element_.Attach(element.get());
    }
    HRESULT Register(IDispatch* call) override {
        {
            CScopedLock lock(this->placeholder_lock_);
            HRESULT hr = call ? callback_.Attach(call) : callback_.Revoke();
            if (FAILED(hr)) return hr;
        }
        return this->AddToContext();
    }
    HRESULT Remove() override {
        ComPtr<IUnknown> self(this->GetUnknown());  // the removal may drop the last other reference
        ComPtr<IDispatch> callback;
        {
            CScopedLock lock(this->placeholder_lock_);
            if (callback_.GetCookie()) callback_.CopyTo(callback.put());
        }
        if (callback) {
            CComVariant me(self.get());
            CallScriptFunction(callback, me, nullptr);
        }
        CScopedLock lock(this->placeholder_lock_);
        element_.Revoke();
        callback_.Revoke();
        this->context_ = nullptr;
        return S_OK;
    }

  private:
    CComGITPtr2<I> element_;
    CComGITPtr2<IDispatch> callback_;
};
