// Function objects handed to script as callable values: a method of an object bound to its
// DISPID, and a native operation bound to its object.
#pragma once

#include "interfaces/dispatch.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"

// A bound method: calling it (DISPID 0) calls the target's member of the bound DISPID.
class CDispatchFunctionObjectSimple
    : public ComObjectRoot<CDispatchFunctionObjectSimple, IDispatch> {
  public:
    // A new function object bound to target's member `dispid`, with one reference.
    static HRESULT Create(IDispatch* target, DISPID dispid, IDispatch** out);

    void Bind(IDispatch* target, DISPID dispid) {
        target_ = target;
        dispid_ = dispid;
    }

    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override;
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override;

  private:
    ComPtr<IDispatch> target_;
    DISPID dispid_ = DISPID_UNKNOWN;
};

// A native operation of a T, `HRESULT (T::*)(VARIANT argument, VARIANT* result)`, bound to a T
// and called through _IFunction. The object is not counted: its owner unbinds the function
// before the object goes away. Agile, like the native objects it calls.
template <class T>
class CMethodFunction
    : public ComObjectRoot<CMethodFunction<T>, DispatchImpl<_IFunction>, IMarshal> {
  public:
    using Operation = HRESULT (T::*)(VARIANT argument, VARIANT* result);

    // A new function bound to object->*operation, with one reference.
    static HRESULT Create(T* object, Operation operation, ComPtr<CMethodFunction>* out) {
        HRESULT hr = MakeComObject(out);
        if (SUCCEEDED(hr)) (*out)->Bind(object, operation);
        return hr;
    }

    void Bind(T* object, Operation operation) {
        CScopedLock lock(lock_);
        object_ = object;
        operation_ = operation;
    }
    void Unbind() { Bind(nullptr, nullptr); }

    HRESULT Call(VARIANT argument, VARIANT* result) override {
        T* object;
        Operation operation;
        {
            CScopedLock lock(lock_);
            object = object_;
            operation = operation_;
        }
        if (!object || !operation) return E_FAIL;
        CComVariant ignored;
        return (object->*operation)(argument, result ? result : &ignored);
    }

    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        if (flags == (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) flags = DISPATCH_METHOD;
        return DispatchImpl<_IFunction>::Invoke(dispid, riid, lcid, flags, params, result,
                                                excepinfo, argerr);
    }

  private:
    CCriticalSectionEx lock_;
    T* object_ = nullptr;
    Operation operation_ = nullptr;
};
