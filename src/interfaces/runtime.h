// Interfaces of the runtime services: script timers.
#pragma once

#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

struct IDLTimer : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x30);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Period(LONG* pVal) = 0;
    virtual HRESULT put_Period(LONG newVal) = 0;
    virtual HRESULT get_OneShot(LONG* pVal) = 0;
    virtual HRESULT put_OneShot(LONG newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Cancel() = 0;
    virtual HRESULT get_Callback(IDispatch** pVal) = 0;
    virtual HRESULT put_Callback(IDispatch* newVal) = 0;
    virtual HRESULT get_Enabled(LONG* pVal) = 0;
    virtual HRESULT get_id(ULONG* pVal) = 0;

  protected:
    ~IDLTimer() = default;
};
