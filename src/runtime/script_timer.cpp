#include "runtime/script_timer.h"

#include <utility>

#include "platform/apartment.h"
#include "platform/boundary.h"
#include "platform/script_call.h"
#include "runtime/current_global.h"

// ---- COMTimer ----

void COMTimer::Fire() {
    TimerBase::Fire();
    std::shared_ptr<brevanto::Apartment> apartment;
    {
        CScopedLock lock(lock_);
        if (callback_.empty()) return;
        apartment = callback_apartment_;
    }
    // The call runs in the callback's apartment (the script's thread) while this thread waits.
    // Enabled is read again there: a Cancel that the script made while this firing waited for
    // its turn still stops it.
    apartment->Execute([this] {
        if (!enabled()) return S_OK;
        ComPtr<IDispatch> function;
        ComPtr<IDLTimer> owner;
        {
            CScopedLock lock(lock_);
            if (callback_.empty()) return S_OK;
            function = callback_.Get();
            owner = keep_alive_;
        }
        if (!function || !owner) return S_OK;
        CComVariant argument(static_cast<IDispatch*>(owner.get()));
        CallScriptFunction(function.get(), argument, nullptr);
        return S_OK;
    });
}

void COMTimer::Initialise() {
    TimerBase::Initialise();
    CScopedLock lock(lock_);
    owner_ = nullptr;
}

void COMTimer::Start(ScheduleThread* thread) {
    if (thread) {
        CScopedLock lock(lock_);
        if (owner_ && queued_++ == 0) keep_alive_ = owner_;
    }
    TimerBase::Start(thread);
}

void COMTimer::OnExpired() {
    ComPtr<IDLTimer> released;
    {
        CScopedLock lock(lock_);
        if (queued_ > 0 && --queued_ == 0) released = std::move(keep_alive_);
    }
    // Released outside the lock: it may be the last hold on the script object.
}

void COMTimer::Detach() {
    TimerBase::Detach();
    CComGITPtr2<IDispatch> callback;
    {
        CScopedLock lock(lock_);
        callback = std::move(callback_);
    }
}

HRESULT COMTimer::SetCallback(IDispatch* function) {
    CComGITPtr2<IDispatch> holder;
    HRESULT hr = holder.Attach(function);
    if (FAILED(hr)) return hr;
    std::shared_ptr<brevanto::Apartment> apartment = brevanto::Apartment::Current();
    CScopedLock lock(lock_);
    std::swap(callback_, holder);
    callback_apartment_ = std::move(apartment);
    return S_OK;
}

HRESULT COMTimer::GetCallback(IDispatch** function) {
    CScopedLock lock(lock_);
    if (callback_.empty()) {
        *function = nullptr;
        return S_OK;
    }
    return callback_.CopyTo(function);
}

void COMTimer::SetOwner(IDLTimer* owner) {
    CScopedLock lock(lock_);
    owner_ = owner;
}

// ---- CTimer ----

HRESULT CTimer::FinalConstruct() {
    return StatusOf([&] {
        timer_ = new COMTimer;
        timer_->Initialise();
        timer_->SetOwner(this);
    });
}

void CTimer::FinalRelease() {
    if (!timer_) return;
    // A stale queue entry may outlive this object; without a callback it does nothing.
    timer_->Detach();
    timer_->SetOwner(nullptr);
    timer_ = nullptr;
}

HRESULT CTimer::get_Period(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = timer_->period();
    return S_OK;
}

HRESULT CTimer::put_Period(LONG newVal) {
    timer_->set_period(newVal);
    return S_OK;
}

HRESULT CTimer::get_OneShot(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = timer_->one_shot();
    return S_OK;
}

HRESULT CTimer::put_OneShot(LONG newVal) {
    timer_->set_one_shot(newVal);
    return S_OK;
}

HRESULT CTimer::get_Name(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    ObjectLock lock(this);
    BSTR name = timer_->name();
    *pVal = name ? SysAllocStringLen(name, SysStringLen(name)) : nullptr;
    return name && !*pVal ? E_OUTOFMEMORY : S_OK;
}

HRESULT CTimer::put_Name(BSTR newVal) {
    ObjectLock lock(this);
    return timer_->set_name(newVal) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CTimer::Start() {
    return StatusOf([&] {
        CurrentGlobal::Hold global = CurrentGlobal::Get();
        timer_->Start(global ? global->TimerThread() : nullptr);
    });
}

HRESULT CTimer::Cancel() {
    return StatusOf([&] {
        CurrentGlobal::Hold global = CurrentGlobal::Get();
        timer_->Cancel(global ? global->TimerThread() : nullptr);
    });
}

HRESULT CTimer::get_Callback(IDispatch** pVal) {
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    *pVal = nullptr;
    return timer_->GetCallback(pVal);
}

HRESULT CTimer::put_Callback(IDispatch* newVal) {
    return timer_->SetCallback(newVal);
}

HRESULT CTimer::get_Enabled(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = timer_->enabled();
    return S_OK;
}

HRESULT CTimer::get_id(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = timer_->id();
    return S_OK;
}

HRESULT CreateScriptTimer(IDispatch* callback, LONG period_ms, IDLTimer** timer) {
    if (!timer) return E_POINTER;
    *timer = nullptr;
    ComObject<CTimer>* object = nullptr;
    if (FAILED(ComObject<CTimer>::CreateInstance(&object))) return E_OUTOFMEMORY;
    ComPtr<ComObject<CTimer>> hold;
    hold.Attach(object);
    object->put_Period(period_ms);
    HRESULT hr = object->put_Callback(callback);
    if (FAILED(hr)) return hr;
    *timer = static_cast<IDLTimer*>(hold.Detach());
    return S_OK;
}
