// The display backlight: dimmed after a period without touches, brightened again by a touch
// (the page calls UserActivity) or by a "Reset" packet for this panel's box. The level is set
// with a lighting-network packet that is fed back through the incoming filters and never
// transmitted; every switch is announced as "BacklightOn" or "BacklightOff". The backlight
// also holds the automatic log-out while it is paused, and restarts the log-out countdown on
// every touch.
#pragma once

#include <atomic>

#include "interfaces/backlight.h"
#include "interfaces/dispatch.h"
#include "network/network_handler.h"
#include "persistence/config_object.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"
#include "runtime/current_global.h"
#include "runtime/timer.h"
#include "security/security_object.h"

// What the backlight asks of the current Global (the members scripts see keep their names).
class BacklightServices : public virtual SecurityServices {
  public:
    virtual CNetworkHandler& NetworkHandler() = 0;
    virtual CSecurityOb& Security() = 0;
    // Global.BoxNumber: the panel's own box on the network.
    virtual HRESULT get_BoxNumber(LONG* pVal) = 0;
    virtual HRESULT RegisterForEvent(BSTR bstrEvent, VARIANT Params, IDispatch* pCallback,
                                     ULONG* pHandlerID) = 0;
    virtual HRESULT UnRegisterForEvent(ULONG EventHandlerID) = 0;
};

// The backlight's state and its dimming timer. Script calls, the event bus ("Reset") and the
// timer thread (dimming) reach it: the fields are atomics, and only the timer's restart takes
// a lock (never held while a packet is sent or an event raised).
class BacklightController : public TimeoutHandler {
  public:
    static constexpr BYTE kInitialOnLevel = 255;
    static constexpr BYTE kInitialStandbyLevel = 2;
    static constexpr LONG kInitialDelayMs = 3600000;
    // A nonzero Delay is at least this long.
    static constexpr LONG kMinimumDelayMs = 10000;
    // The level Stop leaves the screen at.
    static constexpr BYTE kFullLevel = 255;
    static constexpr const char16_t* kTimerName = u"Backlight Timer";
    static constexpr const char16_t* kOnEvent = u"BacklightOn";
    static constexpr const char16_t* kOffEvent = u"BacklightOff";
    // The persistent settings (machine settings, then the configuration values of the same
    // names); the delay is in seconds there.
    static constexpr const char16_t* kSettingsKey = u"Software\\Brevanto\\Quorvane";
    static constexpr const char16_t* kOnLevelSetting = u"Backlight_OnLevel";
    static constexpr const char16_t* kOffLevelSetting = u"Backlight_OffLevel";
    static constexpr const char16_t* kDelaySetting = u"Backlight_Delay";
    // The level packet: logical area 1, opcode 0x48, the level as 255 - level in byte 4.
    static constexpr BYTE kLevelPacket[7] = {0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF};
    static constexpr std::size_t kLevelByte = 4;
    // Sent to no port: the packet only goes through the incoming filters.
    static constexpr DWORD kLevelPacketPorts = 2;

    BacklightController();

    BYTE Level() const { return level_; }
    LONG State() const { return state_; }
    BYTE OnLevel() const { return on_level_; }
    void SetOnLevel(BYTE level) { on_level_ = level; }
    BYTE StandbyLevel() const { return standby_level_; }
    void SetStandbyLevel(BYTE level) { standby_level_ = level; }
    LONG Delay() const { return delay_; }
    bool Paused() const { return paused_; }
    ULONG DimTimerId() const { return dim_timer_->id(); }

    void SetLevel(BYTE level);
    // Switches on (OnLevel) or off (StandbyLevel) and announces the new state.
    void SetState(bool on);
    // 0 turns dimming off; anything else is raised to kMinimumDelayMs.
    void SetDelay(LONG ms);
    void UserActivity();
    void Start();
    void Stop();
    void SaveSettings();
    void Pause();
    void Unpause();
    // The "Reset" event's packet: brightens the screen when it is for this panel's box.
    void OnReset(IDispatch* packet);
    // Dimming: the expiry of the dimming timer.
    void TimedOut(TimerBase* timer) override;
    // The timer lets go of this object (the Global's shut-down).
    void Detach();

  private:
    // Cancels the dimming countdown and, with a nonzero Delay, starts a fresh one.
    void RestartDimming();
    void ReadSettings();
    static void Raise(const char16_t* name);

    std::atomic<BYTE> level_{0};
    std::atomic<LONG> state_{0};
    std::atomic<BYTE> on_level_{kInitialOnLevel};
    std::atomic<BYTE> standby_level_{kInitialStandbyLevel};
    std::atomic<bool> paused_{false};
    std::atomic<LONG> delay_{kInitialDelayMs};
    CCriticalSectionEx timer_lock_;  // makes a restart (cancel, then start) one step
    const ref<TimerBase> dim_timer_;
};

// A dispatch object that the event bus calls with an event's parameters; it passes them to
// one member of its owner and answers false. Other dispatch members are not implemented. The
// owner unbinds it before going away.
class CHxCallbackEventSink : public ComObjectRoot<CHxCallbackEventSink, IDispatch, IMarshal> {
  public:
    using Callback = void (BacklightController::*)(IDispatch* parameters);

    void Bind(BacklightController* owner, Callback callback);
    void Unbind() { Bind(nullptr, nullptr); }

    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override;
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override;

  private:
    CCriticalSectionEx lock_;
    ref<BacklightController> owner_;  // guarded by lock_
    Callback callback_ = nullptr;     // guarded by lock_
};

// Global.BacklightController.
class CBacklightController
    : public ComObjectRoot<CBacklightController, DispatchImpl<IBacklightController>, IDestroy,
                           IReadOnlyTest> {
  public:
    static constexpr const char16_t* kResetEvent = u"Reset";

    CBacklightController();
    void FinalRelease();

    HRESULT put_Level(BYTE newVal) override;
    HRESULT get_Level(BYTE* pVal) override;
    HRESULT put_State(VARIANT_BOOL newVal) override;
    HRESULT get_State(VARIANT_BOOL* pVal) override;
    HRESULT put_OnLevel(BYTE newVal) override;
    HRESULT get_OnLevel(BYTE* pVal) override;
    HRESULT put_Delay(LONG newVal) override;
    HRESULT get_Delay(LONG* pVal) override;
    HRESULT Start() override;
    HRESULT Stop() override;
    HRESULT UserActivity() override;
    HRESULT SaveSettings() override;
    HRESULT put_StandbyLevel(BYTE newVal) override;
    HRESULT get_StandbyLevel(BYTE* pVal) override;
    HRESULT Pause() override;
    HRESULT Unpause() override;

    // IDestroy: breaks the cycles through the timer and the event sink.
    HRESULT Destroy() override;

    // IReadOnlyTest: a page's data context may set the backlight's properties too; it owns
    // nothing the backlight makes.
    HRESULT RewriteCall(DISPID*, DISPPARAMS*, WORD*) override { return S_OK; }
    HRESULT WrapResult(DISPID) override { return S_OK; }

    BacklightController& Controller() { return *controller_; }

  private:
    const ref<BacklightController> controller_;
    ComPtr<CHxCallbackEventSink> sink_;  // guarded by the object's lock
    ULONG reset_handler_ = 0;            // guarded by the object's lock; 0: not registered
};
