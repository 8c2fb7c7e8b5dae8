#include "global/global.h"

#include <memory>

#include "dispatch/data_context.h"
#include "dispatch/function_objects.h"
#include "dispatch/placeholders.h"
#include "network/match_functions.h"
#include "platform/apartment.h"
#include "platform/boundary.h"
#include "platform/dispatcher.h"
#include "runtime/script_timer.h"

namespace {

std::u16string_view View(BSTR text) {
    return {text ? text : u"", SysStringLen(text)};
}

bool RunsOn(CDefaultThreadPool& pool, unsigned long thread) {
    for (std::size_t i = 0; i < kPoolThreadCount; ++i)
        if (pool.GetThread(i).ThreadId() == thread) return true;
    return false;
}

// The parameters of RegisterForEvent as a script object; null means "no filter".
ComPtr<IDispatchEx> ParametersObject(const VARIANT& params) {
    CComVariant value;
    if (FAILED(VariantCopyInd(&value, &params))) return nullptr;
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) return nullptr;
    if (value.vt != VT_DISPATCH && value.vt != VT_UNKNOWN &&
        FAILED(VariantChangeType(&value, &value, 0, VT_DISPATCH)))
        return nullptr;
    ComPtr<IDispatchEx> object;
    if (value.punkVal) value.punkVal->QueryInterface(object.put());
    return object;
}

template <class I>
void ClearOutSlot(I** slot) {
    if (*slot) (*slot)->Release();
    *slot = nullptr;
}

}  // namespace

// ---- Construction and shut-down ----

HRESULT CGlobal::FinalConstruct() {
    box_number_ = 1;
    // Services join here as they are built (the cached IConfig).
    HRESULT hr = scheduler_.QueryInterface(scheduler_interface_.put());
    if (FAILED(hr)) return hr;
    hr = network_handler_.Init();
    if (FAILED(hr)) return hr;
    hr = network_handler_.QueryInterface(network_.put());
    if (FAILED(hr)) return hr;
    MakeCurrent();
    return S_OK;
}

void CGlobal::FinalRelease() {
    ShutDown();
}

void CGlobal::MakeCurrent() {
    // The previous Global's pool goes first, so that no handler of it runs on after this one
    // takes over.
    if (CurrentGlobal::Hold previous = CurrentGlobal::Get()) {
        if (CGlobal* global = previous.As<CGlobal>()) global->StopPool();
    }
    auto pool = std::make_unique<CDefaultThreadPool>();
    pool->Start();
    {
        CScopedLock lock(pool_lock_);
        pool_ = std::move(pool);
    }
    CurrentGlobal::Set(this);
}

void CGlobal::StopPool() {
    std::unique_ptr<CDefaultThreadPool> pool;
    {
        CScopedLock lock(pool_lock_);
        pool = std::move(pool_);
    }
    if (!pool) return;
    if (RunsOn(*pool, brevanto::CurrentThreadId())) {
        // The last reference went away inside a handler: a pool cannot join its own thread.
        // It takes no more tasks; its threads end by themselves and the pool stays allocated.
        pool->Stop();
        pool.release();
        return;
    }
    pool->Shutdown();
}

void CGlobal::SubmitTask(ref<ThreadPoolTask> task) {
    CScopedLock lock(pool_lock_);
    if (pool_) pool_->Submit(std::move(task));
}

bool CGlobal::WaitUntilPoolIdle() {
    CScopedLock lock(pool_lock_);
    if (!pool_) return false;
    for (std::size_t i = 0; i < kPoolThreadCount; ++i)
        pool_->GetThread(i).IdleEvent().Wait(INFINITE);
    return true;
}

HRESULT CGlobal::Destroy() {
    ShutDown();
    return S_OK;
}

void CGlobal::ShutDown() {
    // Runs on Destroy and again at final release: every step may find its work done.
    CurrentGlobal::Clear(this);
    {
        ObjectLock lock(this);
        network_ = nullptr;
        scheduler_interface_ = nullptr;
    }
    StopPool();

    event_thread_.StopEvent().Set();
    // No timer fires after the scheduler has stopped.
    backlight_.Stop();
    network_handler_.Stop();
    security_.Stop();
    scheduler_.Shutdown();
    backlight_.Destroy();
    network_handler_.Destroy();

    // The registrations are cleared only after the event thread has ended, so the two never
    // change the tables at the same time.
    if (event_thread_.ThreadId() != brevanto::CurrentThreadId()) {
        event_thread_.StopAndJoin();
        event_thread_.Clear();
    }
    scheduler_.Destroy();

    CComGITPtr2<IHxApplication> host;  // revoked outside the lock
    {
        CScopedLock lock(host_lock_);
        host = std::move(host_);
        host_apartment_ = nullptr;
    }
}

HRESULT CGlobal::Start() {
    CallHost(S_OK, [](IHxApplication* host) { return host->Calibrate(0); });
    // Handlers registered before the start see what the services raise as they start.
    if (!event_thread_.IsRunning()) event_thread_.TakeRegistrations();
    event_thread_.Start();
    scheduler_.Start();
    network_handler_.Start();
    backlight_.Start();
    return S_OK;
}

// ---- Dispatch ----

HRESULT CGlobal::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT CGlobal::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = IGlobal::Describe().type_info();
    (*info)->AddRef();
    return S_OK;
}

HRESULT CGlobal::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* dispids) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = DispatchGetIDsOfNames(IGlobal::Describe(), names, count, dispids);
    if (hr != DISP_E_UNKNOWNNAME && hr != DISP_E_MEMBERNOTFOUND) return hr;
    return DispatchGetIDsOfNames(IDefaultPackets::Describe(), names, count, dispids);
}

HRESULT CGlobal::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    HRESULT hr = DispatchInvoke(IGlobal::Describe(), static_cast<IGlobal*>(this), dispid, lcid,
                                flags, params, result, excepinfo, argerr);
    if (hr != DISP_E_UNKNOWNNAME && hr != DISP_E_MEMBERNOTFOUND) return hr;

    // A default-packets member read as a value: a function object that calls it later.
    if ((flags & DISPATCH_PROPERTYGET) && !(flags & DISPATCH_METHOD) &&
        dispid >= IDefaultPackets::kFirstDispid && dispid <= IDefaultPackets::kLastDispid) {
        IDispatch* function = nullptr;
        hr = CDispatchFunctionObjectSimple::Create(static_cast<IGlobal*>(this), dispid, &function);
        if (FAILED(hr)) return hr;
        if (!result) {
            function->Release();
            return S_OK;
        }
        VariantClear(result);
        result->vt = VT_DISPATCH;
        result->pdispVal = function;
        return S_OK;
    }
    return DispatchInvoke(IDefaultPackets::Describe(), static_cast<IDefaultPackets*>(this), dispid,
                          lcid, flags, params, result, excepinfo, argerr);
}

// ---- Services ----

HRESULT CGlobal::get_Scheduler(IScheduler** pVal) {
    if (!pVal) return E_POINTER;
    ClearOutSlot(pVal);
    ObjectLock lock(this);
    if (!scheduler_interface_) return S_OK;  // after shut-down
    return scheduler_interface_->QueryInterface(pVal);
}

HRESULT CGlobal::get_NetworkHandler(INetworkHandler** pVal) {
    if (!pVal) return E_POINTER;
    ClearOutSlot(pVal);
    ObjectLock lock(this);
    if (!network_) return S_OK;  // after shut-down: no object
    return network_->QueryInterface(pVal);
}

HRESULT CGlobal::get_BacklightController(IBacklightController** pVal) {
    if (!pVal) return E_POINTER;
    ClearOutSlot(pVal);
    return backlight_.QueryInterface(pVal);
}

HRESULT CGlobal::get_Security(IDispatch** pVal) {
    if (!pVal) return E_POINTER;
    ClearOutSlot(pVal);
    return security_.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(pVal));
}

HRESULT CGlobal::get_Config(IDispatch** pVal) {
    if (!pVal) return E_POINTER;
    return config_.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(pVal));
}

HRESULT CGlobal::CreateTimer(IDispatch* pFn, LONG Timeout, IDLTimer** ppTimer) {
    if (!ppTimer) return E_POINTER;
    ClearOutSlot(ppTimer);
    return CreateScriptTimer(pFn, Timeout, ppTimer);
}

HRESULT CGlobal::get_ReadOnly(IDispatch** pVal) {
    if (!pVal) return E_POINTER;
    ClearOutSlot(pVal);
    IDataContext* context = nullptr;
    HRESULT hr = CDataContext::Create(static_cast<IGlobal*>(this), &context);
    if (FAILED(hr)) return hr;
    *pVal = context;
    return S_OK;
}

// ---- Simple properties ----

HRESULT CGlobal::get_BoxNumber(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = box_number_.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT CGlobal::put_BoxNumber(LONG newVal) {
    box_number_.store(newVal, std::memory_order_relaxed);
    return S_OK;
}

HRESULT CGlobal::get_PacketDelay(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = packet_delay_.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT CGlobal::put_PacketDelay(LONG newVal) {
    packet_delay_.store(newVal, std::memory_order_relaxed);
    return S_OK;
}

// ---- Events ----

HRESULT CGlobal::RegisterForEvent(BSTR bstrEvent, VARIANT Params, IDispatch* pCallback,
                                  ULONG* pHandlerID) {
    if (!pHandlerID) return E_POINTER;
    return StatusOf([&] {
        ComPtr<IDispatchEx> parameters = ParametersObject(Params);
        *pHandlerID = event_thread_.Register(View(bstrEvent), parameters.get(), pCallback);
    });
}

HRESULT CGlobal::RaiseEvent(BSTR bstrEvent, IDispatchEx* pParams) {
    // The raiser is not told: an event that cannot be queued is dropped.
    StatusOf([&] { event_thread_.Raise(View(bstrEvent), pParams); });
    return S_OK;
}

HRESULT CGlobal::UnRegisterForEvent(ULONG EventHandlerID) {
    // Out of memory for the queue entry: the handler stays registered.
    StatusOf([&] { event_thread_.UnRegister(EventHandlerID); });
    return S_OK;
}

HRESULT CGlobal::_RegisterPlaceholderForEvent(IUnknown* p, VARIANT pParams, IDispatch* pCallback,
                                              ULONG* pHandlerID) {
    ComPtr<IPlaceHolder> placeholder;
    if (!p || FAILED(p->QueryInterface(placeholder.put())) || !placeholder) return E_INVALIDARG;
    CComVariant dependant;
    CComVariant name;
    if (FAILED(placeholder->get_Dependant(&dependant)) ||
        FAILED(VariantChangeType(&name, &dependant, 0, VT_BSTR)))
        return E_INVALIDARG;
    ULONG id = 0;
    HRESULT hr = RegisterForEvent(name.bstrVal, pParams, pCallback, &id);
    if (FAILED(hr)) return hr;
    placeholder->put_Dependant(CComVariant(static_cast<LONG>(id)));
    placeholder->Register(nullptr);
    if (pHandlerID) *pHandlerID = id;
    return S_OK;
}

// ---- Match functions ----

HRESULT CGlobal::MatchLogicalAreaJoin(LONG Area, LONG Join, BYTE OC, IDispatch** ppMatch) {
    return CMatchFunctionLogicalAreaJoin::Create(Area, Join, OC, ppMatch);
}

HRESULT CGlobal::MatchLogicalAreaLinkJoin(LONG BLA, LONG Area, LONG Join, BYTE OC,
                                          IDispatch** ppMatch) {
    return CMatchFunctionLogicalAreaLinkJoin::Create(BLA, Area, Join, OC, ppMatch);
}

// ---- Default packets ----

HRESULT CGlobal::SendPreset(VARIANT Area, VARIANT Join, VARIANT Preset, VARIANT Fade) {
    return default_packets_.SendPreset(Area, Join, Preset, Fade);
}
HRESULT CGlobal::RequestCurrentPreset(VARIANT Area, VARIANT Join, VARIANT RetryDelay) {
    return default_packets_.RequestCurrentPreset(Area, Join, RetryDelay);
}
HRESULT CGlobal::SetLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Fade, VARIANT Channel,
                                 VARIANT Value) {
    return default_packets_.SetLogicalLevel(Area, Join, Fade, Channel, Value);
}
HRESULT CGlobal::RequestLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Channel) {
    return default_packets_.RequestLogicalLevel(Area, Join, Channel);
}
HRESULT CGlobal::SetPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Fade, VARIANT Channel,
                                  VARIANT Value) {
    return default_packets_.SetPhysicalLevel(DC, BN, Fade, Channel, Value);
}
HRESULT CGlobal::RequestPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Channel) {
    return default_packets_.RequestPhysicalLevel(DC, BN, Channel);
}

// ---- The read-only wrapper's hooks ----

HRESULT CGlobal::RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD*) {
    if (!dispid) return E_POINTER;
    if (*dispid != IGlobal::kDispidRegisterForEvent && *dispid != IGlobal::kDispidLoadScript)
        return S_OK;
    // Without a first argument there is nothing for a placeholder to stand for: the call goes
    // on unchanged and fails by its own argument rules.
    if (!params || !params->cArgs || !params->rgvarg) return S_OK;
    ComPtr<IPlaceHolder> placeholder;
    HRESULT hr;
    if (*dispid == IGlobal::kDispidRegisterForEvent) {
        ComPtr<EventPlaceHolder> event;
        hr = MakeComObject(&event);
        placeholder = event.get();
    } else {
        ComPtr<ScriptPlaceHolder> script;
        hr = MakeComObject(&script);
        placeholder = script.get();
    }
    if (FAILED(hr)) return hr;
    VARIANT& first = params->rgvarg[params->cArgs - 1];  // arguments stand last to first
    hr = placeholder->put_Dependant(first);
    if (FAILED(hr)) return hr;
    VariantClear(&first);
    first.vt = VT_UNKNOWN;
    first.punkVal = placeholder.Detach();
    *dispid = *dispid == IGlobal::kDispidRegisterForEvent
                  ? IGlobal::kDispidRegisterPlaceholderForEvent
                  : IGlobal::kDispidLoadScriptPlaceHolder;
    return S_OK;
}

HRESULT CGlobal::WrapResult(DISPID dispid) {
    switch (dispid) {
        case IGlobal::kDispidScheduler:
        case IGlobal::kDispidUnPersist:
        case IGlobal::kDispidSecurity:
        case IGlobal::kDispidDocument:
        case IGlobal::kDispidWindow:
            return E_FAIL;
        default:
            return S_OK;
    }
}
