#include "backlight/backlight_controller.h"

#include <algorithm>
#include <new>

#include "network/packet_base.h"
#include "platform/boundary.h"
#include "platform/script_call.h"
#include "platform/settings_store.h"
#include "runtime/schedule_thread.h"

namespace {

// The box numbers that exist; a larger one never names this panel.
constexpr LONG kLargestBoxNumber = 255;

ScheduleThread* TimerThreadOf(const CurrentGlobal::Hold& hold) {
    return hold ? hold->TimerThread() : nullptr;
}

// A whole number read from a script object's property; false when absent or not a number.
bool ReadNumber(IDispatch* object, LPCOLESTR name, LONG* value) {
    CComVariant v;
    if (FAILED(ReadScriptProperty(object, name, &v)) || v.vt == VT_EMPTY ||
        FAILED(VariantChangeType(&v, &v, 0, VT_I4)))
        return false;
    *value = v.lVal;
    return true;
}

}  // namespace

// ---- BacklightController ----

BacklightController::BacklightController() : dim_timer_(new TimerBase) {
    dim_timer_->Initialise();
    dim_timer_->set_one_shot(0);
    dim_timer_->set_period(kInitialDelayMs);
    if (!dim_timer_->set_name(CComBSTR(kTimerName))) throw std::bad_alloc();
    dim_timer_->set_handler(this);
}

void BacklightController::Detach() {
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    dim_timer_->Cancel(TimerThreadOf(hold));
    dim_timer_->Detach();
}

void BacklightController::Raise(const char16_t* name) {
    if (auto hold = CurrentGlobal::Get()) hold->RaiseEvent(CComBSTR(name), nullptr);
}

void BacklightController::SetLevel(BYTE level) {
    if (state_ == 0 && level > standby_level_) {
        Raise(kOnEvent);
        state_ = 1;
    }
    level_ = level;

    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    auto* services = hold.As<BacklightServices>();
    if (!services) return;
    BYTE bytes[8];
    std::copy(std::begin(kLevelPacket), std::end(kLevelPacket), bytes);
    bytes[kLevelByte] = static_cast<BYTE>(kFullLevel - level);
    bytes[7] = PacketChecksum(bytes);
    ref<PacketBase> packet(new PacketBase);
    packet->AssignBytes(bytes, sizeof bytes);
    packet->DestinationPorts = kLevelPacketPorts;
    services->NetworkHandler().SendInternal(std::move(packet));
}

void BacklightController::SetState(bool on) {
    state_ = on ? 1 : 0;
    SetLevel(on ? on_level_.load() : standby_level_.load());
    Raise(on ? kOnEvent : kOffEvent);
}

void BacklightController::SetDelay(LONG ms) {
    if (ms == 0) {
        delay_ = 0;
        UserActivity();
        return;
    }
    delay_ = std::max(ms, kMinimumDelayMs);
    if (state_ == 1) UserActivity();
}

void BacklightController::RestartDimming() {
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    ScheduleThread* thread = TimerThreadOf(hold);
    CScopedLock lock(timer_lock_);
    dim_timer_->Cancel(thread);
    const LONG delay = delay_;
    if (delay == 0) return;
    dim_timer_->set_period(delay);
    dim_timer_->Start(thread);
}

void BacklightController::UserActivity() {
    if (state_ == 0 || level_ <= standby_level_) SetLevel(on_level_);
    RestartDimming();
    // A touch also postpones the automatic log-out, paused or not.
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    if (auto* services = hold.As<BacklightServices>())
        services->Security().RestartLogoutCountdown();
}

void BacklightController::TimedOut(TimerBase*) {
    if ((level_ > standby_level_ || state_ == 1) && !paused_) {
        state_ = 0;
        SetLevel(standby_level_);
        Raise(kOffEvent);
    }
}

void BacklightController::ReadSettings() {
    // Each source may set any of the three; what neither has keeps its value.
    auto apply = [&](const char16_t* name, LONG value) {
        const std::u16string_view setting(name);
        if (setting == kOnLevelSetting) on_level_ = static_cast<BYTE>(value);
        if (setting == kOffLevelSetting) standby_level_ = static_cast<BYTE>(value);
        if (setting == kDelaySetting) delay_ = WrappingProduct(value, 1000);
    };
    const char16_t* const names[] = {kOnLevelSetting, kOffLevelSetting, kDelaySetting};
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_READ) == ERROR_SUCCESS) {
        for (const char16_t* name : names) {
            DWORD value = 0;
            if (key.QueryDWORDValue(name, value) == ERROR_SUCCESS)
                apply(name, static_cast<LONG>(value));
        }
    }
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    auto* services = hold.As<BacklightServices>();
    if (!services) return;
    for (const char16_t* name : names) {
        CComVariant value = services->Config().GetValue(name, VT_I4);
        if (value.vt == VT_I4) apply(name, value.lVal);
    }
}

void BacklightController::Start() {
    ReadSettings();
    UserActivity();
}

void BacklightController::Stop() {
    {
        CurrentGlobal::Hold hold = CurrentGlobal::Get();
        CScopedLock lock(timer_lock_);
        dim_timer_->Cancel(TimerThreadOf(hold));
    }
    SetLevel(kFullLevel);
}

void BacklightController::SaveSettings() {
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    auto* services = hold.As<BacklightServices>();
    if (!services) return;
    IDispatchExImplRaw& config = services->Config().DispatchExMembers();
    ThrowIfFailed(config.SetValue(kOnLevelSetting, CComVariant(LONG{on_level_})));
    ThrowIfFailed(config.SetValue(kOffLevelSetting, CComVariant(LONG{standby_level_})));
    ThrowIfFailed(config.SetValue(kDelaySetting, CComVariant(LONG{delay_ / 1000})));
}

void BacklightController::Pause() {
    paused_ = true;
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    {
        CScopedLock lock(timer_lock_);
        dim_timer_->Cancel(TimerThreadOf(hold));
    }
    if (auto* services = hold.As<BacklightServices>()) services->Security().PauseLogout();
}

void BacklightController::Unpause() {
    if (!paused_.exchange(false)) return;
    RestartDimming();
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    if (auto* services = hold.As<BacklightServices>()) services->Security().ResumeLogout();
}

void BacklightController::OnReset(IDispatch* packet) {
    LONG device = 0, box = 0;
    if (!packet || !ReadNumber(packet, u"DeviceCode", &device) ||
        !ReadNumber(packet, u"BoxNumber", &box) || box > kLargestBoxNumber)
        return;
    LONG own_box = 0;
    {
        CurrentGlobal::Hold hold = CurrentGlobal::Get();
        auto* services = hold.As<BacklightServices>();
        if (!services || FAILED(services->get_BoxNumber(&own_box))) return;
    }
    if (box == own_box) SetLevel(on_level_);
}

// ---- CHxCallbackEventSink ----

void CHxCallbackEventSink::Bind(BacklightController* owner, Callback callback) {
    CScopedLock lock(lock_);
    owner_ = owner;
    callback_ = callback;
}

HRESULT CHxCallbackEventSink::GetTypeInfoCount(UINT* count) {
    if (count) *count = 0;
    return E_NOTIMPL;
}

HRESULT CHxCallbackEventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

HRESULT CHxCallbackEventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT CHxCallbackEventSink::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) {
    ref<BacklightController> owner;
    Callback callback;
    {
        CScopedLock lock(lock_);
        owner = owner_;
        callback = callback_;
    }
    IDispatch* parameters = nullptr;
    if (params && params->cArgs > 0) {
        const VARIANT& first = params->rgvarg[params->cArgs - 1];
        if (first.vt == VT_DISPATCH) parameters = first.pdispVal;
    }
    if (owner && callback) ((*owner).*callback)(parameters);
    if (result) {
        VariantClear(result);
        result->vt = VT_BOOL;
        result->boolVal = VARIANT_FALSE;
    }
    return S_OK;
}

// ---- CBacklightController ----

CBacklightController::CBacklightController() : controller_(new BacklightController) {}

void CBacklightController::FinalRelease() {
    Destroy();
}

HRESULT CBacklightController::put_Level(BYTE newVal) {
    return StatusOf([&] { controller_->SetLevel(newVal); });
}

HRESULT CBacklightController::get_Level(BYTE* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = controller_->Level();
    return S_OK;
}

HRESULT CBacklightController::put_State(VARIANT_BOOL newVal) {
    return StatusOf([&] { controller_->SetState(newVal == VARIANT_TRUE); });
}

HRESULT CBacklightController::get_State(VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = controller_->State() != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CBacklightController::put_OnLevel(BYTE newVal) {
    controller_->SetOnLevel(newVal);
    return S_OK;
}

HRESULT CBacklightController::get_OnLevel(BYTE* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = controller_->OnLevel();
    return S_OK;
}

HRESULT CBacklightController::put_Delay(LONG newVal) {
    return StatusOf([&] { controller_->SetDelay(newVal); });
}

HRESULT CBacklightController::get_Delay(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = controller_->Delay();
    return S_OK;
}

HRESULT CBacklightController::put_StandbyLevel(BYTE newVal) {
    controller_->SetStandbyLevel(newVal);
    return S_OK;
}

HRESULT CBacklightController::get_StandbyLevel(BYTE* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = controller_->StandbyLevel();
    return S_OK;
}

HRESULT CBacklightController::Start() {
    return StatusOf([&] {
        controller_->Start();
        CurrentGlobal::Hold hold = CurrentGlobal::Get();
        auto* services = hold.As<BacklightServices>();
        if (!services) return S_OK;
        ComPtr<CHxCallbackEventSink> sink;
        {
            ObjectLock lock(this);
            if (reset_handler_ != 0) return S_OK;  // registered already
            if (!sink_) ThrowIfFailed(MakeComObject(&sink_));
            sink_->Bind(controller_.get(), &BacklightController::OnReset);
            sink = sink_;
        }
        ULONG id = 0;
        ThrowIfFailed(
            services->RegisterForEvent(CComBSTR(kResetEvent), CComVariant(), sink.get(), &id));
        ObjectLock lock(this);
        reset_handler_ = id;
        return S_OK;
    });
}

HRESULT CBacklightController::Stop() {
    return StatusOf([&] {
        controller_->Stop();
        ULONG id = 0;
        {
            ObjectLock lock(this);
            id = std::exchange(reset_handler_, 0);
        }
        if (id == 0) return;
        CurrentGlobal::Hold hold = CurrentGlobal::Get();
        if (auto* services = hold.As<BacklightServices>()) services->UnRegisterForEvent(id);
    });
}

HRESULT CBacklightController::UserActivity() {
    return StatusOf([&] { controller_->UserActivity(); });
}

HRESULT CBacklightController::SaveSettings() {
    return StatusOf([&] { controller_->SaveSettings(); });
}

HRESULT CBacklightController::Pause() {
    return StatusOf([&] { controller_->Pause(); });
}

HRESULT CBacklightController::Unpause() {
    return StatusOf([&] { controller_->Unpause(); });
}

HRESULT CBacklightController::Destroy() {
    ComPtr<CHxCallbackEventSink> sink;
    {
        ObjectLock lock(this);
        sink = std::move(sink_);
    }
    if (sink) sink->Unbind();
    controller_->Detach();
    return S_OK;
}
