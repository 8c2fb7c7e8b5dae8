// Interface of the display backlight controller.
#pragma once

#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

struct IBacklightController : IDispatch {
    static constexpr IID kIid = brevanto_ids::Make(0x70);
    static const InterfaceDesc& Describe();
    virtual HRESULT put_Level(BYTE newVal) = 0;
    virtual HRESULT get_Level(BYTE* pVal) = 0;
    virtual HRESULT put_State(VARIANT_BOOL newVal) = 0;
    virtual HRESULT get_State(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_OnLevel(BYTE newVal) = 0;
    virtual HRESULT get_OnLevel(BYTE* pVal) = 0;
    virtual HRESULT put_Delay(LONG newVal) = 0;
    virtual HRESULT get_Delay(LONG* pVal) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT UserActivity() = 0;
    virtual HRESULT SaveSettings() = 0;
    virtual HRESULT put_StandbyLevel(BYTE newVal) = 0;
    virtual HRESULT get_StandbyLevel(BYTE* pVal) = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Unpause() = 0;

  protected:
    ~IBacklightController() = default;
};
