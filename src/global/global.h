// The root object Global: the process's services, the named-event bus, the forwards to the host
// application. The Global constructed last is the current one (see runtime/current_global.h),
// through which native code in the layers below reaches its services.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "backlight/backlight_controller.h"
#include "dispatch/placeholders.h"
#include "interfaces/dispatch.h"
#include "interfaces/global.h"
#include "interfaces/host.h"
#include "interfaces/network.h"
#include "network/default_packets.h"
#include "network/network_handler.h"
#include "network/packet_base.h"
#include "persistence/config_object.h"
#include "platform/com_object.h"
#include "platform/git_ptr.h"
#include "platform/proxy.h"
#include "runtime/current_global.h"
#include "runtime/event_thread.h"
#include "runtime/thread_pool.h"
#include "scheduler/scheduler.h"
#include "security/security_object.h"

class CGlobal : public ComObjectRoot<CGlobal, IGlobal, IDefaultPackets, IDestroy, IReadOnlyTest>,
                public RuntimeServices,
                public DispatchServices,
                public NetworkServices,
                public SchedulerServices,
                public BacklightServices {
  public:
    static constexpr LONG kDefaultPacketDelay = static_cast<LONG>(PacketDefaults::kPacketDelay);

    HRESULT FinalConstruct();
    void FinalRelease();

    // IDispatch, shared by IGlobal and IDefaultPackets: IGlobal's members first, then the
    // default packets.
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override;
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override;

    // IGlobal: services, events, simple properties and match functions (global.cpp).
    HRESULT get_Scheduler(IScheduler** pVal) override;
    HRESULT get_NetworkHandler(INetworkHandler** pVal) override;
    HRESULT get_ReadOnly(IDispatch** pVal) override;
    HRESULT CreateTimer(IDispatch* pFn, LONG Timeout, IDLTimer** ppTimer) override;
    HRESULT RegisterForEvent(BSTR bstrEvent, VARIANT Params, IDispatch* pCallback,
                             ULONG* pHandlerID) override;
    HRESULT RaiseEvent(BSTR bstrEvent, IDispatchEx* pParams) override;
    HRESULT UnRegisterForEvent(ULONG EventHandlerID) override;
    HRESULT _RegisterPlaceholderForEvent(IUnknown* p, VARIANT pParams, IDispatch* pCallback,
                                         ULONG* pHandlerID) override;
    HRESULT get_BoxNumber(LONG* pVal) override;
    HRESULT put_BoxNumber(LONG newVal) override;
    HRESULT MatchLogicalAreaJoin(LONG Area, LONG Join, BYTE OC, IDispatch** ppMatch) override;
    HRESULT MatchLogicalAreaLinkJoin(LONG BLA, LONG Area, LONG Join, BYTE OC,
                                     IDispatch** ppMatch) override;
    HRESULT Start() override;
    HRESULT get_BacklightController(IBacklightController** pVal) override;
    HRESULT get_Security(IDispatch** pVal) override;
    HRESULT put_PacketDelay(LONG newVal) override;
    HRESULT get_PacketDelay(LONG* pVal) override;
    HRESULT get_Config(IDispatch** pVal) override;

    // IGlobal: the members that reach the host application (global_host.cpp).
    HRESULT Log(BSTR bstr) override;
    HRESULT LoadScript(BSTR ScriptID, BSTR FileName, LONG* pResult) override;
    HRESULT RemoveScript(BSTR ScriptID) override;
    HRESULT _LoadScriptPlaceHolder(IUnknown* pPlaceHolder, BSTR FileName, LONG* pResult) override;
    HRESULT SetApplication(IUnknown* pHxApp) override;
    HRESULT GetApplication(IUnknown** ppHxApp) override;
    HRESULT Persist(BSTR PersistName, IDispatch* pDispatch) override;
    HRESULT UnPersist(BSTR PersistName, IDispatch** ppDispatch) override;
    HRESULT Calibrate() override;
    HRESULT Restart() override;
    HRESULT GoToPage(BSTR Page) override;
    HRESULT get_Version(IDispatch** pVal) override;
    HRESULT put_DHCP(LONG newVal) override;
    HRESULT get_DHCP(LONG* pVal) override;
    HRESULT put_IPAddress(BSTR newVal) override;
    HRESULT get_IPAddress(BSTR* pVal) override;
    HRESULT put_Subnet(BSTR newVal) override;
    HRESULT get_Subnet(BSTR* pVal) override;
    HRESULT put_Gateway(BSTR newVal) override;
    HRESULT get_Gateway(BSTR* pVal) override;
    HRESULT put_DNS1(BSTR newVal) override;
    HRESULT get_DNS1(BSTR* pVal) override;
    HRESULT put_DNS2(BSTR newVal) override;
    HRESULT get_DNS2(BSTR* pVal) override;
    HRESULT SetLocalTime(IDispatch* pDispatch) override;
    HRESULT get_document(IDispatch** pVal) override;
    HRESULT get_window(IDispatch** pVal) override;
    HRESULT Close() override;

    // IDefaultPackets.
    HRESULT SendPreset(VARIANT Area, VARIANT Join, VARIANT Preset, VARIANT Fade) override;
    HRESULT RequestCurrentPreset(VARIANT Area, VARIANT Join, VARIANT RetryDelay) override;
    HRESULT SetLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Fade, VARIANT Channel,
                            VARIANT Value) override;
    HRESULT RequestLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Channel) override;
    HRESULT SetPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Fade, VARIANT Channel,
                             VARIANT Value) override;
    HRESULT RequestPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Channel) override;

    // IDestroy: the shut-down.
    HRESULT Destroy() override;

    // IReadOnlyTest: event registrations and loaded scripts made through a data context become
    // its placeholders; the objects whose identity pages rely on come back unwrapped.
    HRESULT RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD* flags) override;
    HRESULT WrapResult(DISPID dispid) override;

    // The services of the layers below (the members that scripts see as well are above).
    void SubmitTask(ref<ThreadPoolTask> task) override;
    LONG PacketDelay() const override { return packet_delay_.load(std::memory_order_relaxed); }
    LONG BoxNumber() const override { return box_number_.load(std::memory_order_relaxed); }
    bool QueueToPort(DWORD port_mask, ref<PacketBase> packet) override {
        return network_handler_.QueueToPort(port_mask, std::move(packet));
    }
    std::size_t EnableSchedules(LONG event_number, bool enable) override {
        return scheduler_.EnableSchedules(event_number, enable);
    }
    std::size_t TriggerSchedules(LONG event_number) override {
        return scheduler_.TriggerSchedules(event_number);
    }
    ScheduleThread* TimerThread() override { return &scheduler_.Thread(); }
    ScheduleCalendar* Calendar() override { return &scheduler_; }

    // For native code. The script object the host keeps under `name` (the scheduler asks for
    // " hidden script"); null without a host or when the host has none.
    ComPtr<IDispatch> GetHostScript(std::u16string_view name);
    // Waits until every pool thread is idle (for tests); false when the pool is gone.
    bool WaitUntilPoolIdle();
    EventThread& Events() { return event_thread_; }
    CNetworkHandler& NetworkHandler() override { return network_handler_; }
    CScheduler& Scheduler() { return scheduler_; }
    const std::u16string& ConfigPath() const { return config_path_; }
    const std::u16string& StartPage() const { return start_page_; }
    CConfigOb& Config() override { return config_; }
    CSecurityOb& Security() override { return security_; }
    CBacklightController& Backlight() { return backlight_; }
    // Read from the configuration when the host is set.
    PacketDefaults DefaultPacketSettings() const { return default_packets_.Settings(); }

  private:
    // A fresh pointer to the host from its holder; null when no host is set. Valid on the
    // calling thread only when that thread is in the host's apartment (or the host is agile).
    ComPtr<IHxApplication> Host();
    // Runs call(host) in the host's apartment with a pointer fetched there, and waits for it;
    // `no_host` when no host is set. The host interface is not a dispatch interface, so the
    // call itself, not the pointer, crosses to the host's thread.
    template <class F>
    HRESULT CallHost(HRESULT no_host, F&& call);
    // The same for an operation that hands out an object: the object comes back valid on the
    // calling thread. A null `out` is passed on as it is.
    template <class I, class F>
    HRESULT ObjectFromHost(HRESULT no_host, I** out, F&& get);
    void ShutDown();
    // Steps of SetApplication once the host named its configuration directory.
    void LoadConfiguration(std::u16string_view path);
    // Becomes the current Global with a new thread pool, after stopping the previous one's.
    void MakeCurrent();
    // Stops and joins the pool; it takes no task afterwards.
    void StopPool();

    ComObjectEmbedded<CScheduler> scheduler_;
    ComObjectEmbedded<CNetworkHandler> network_handler_;
    ComObjectEmbedded<CBacklightController> backlight_;
    ComObjectEmbedded<CSecurityOb> security_;
    ComObjectEmbedded<CConfigOb> config_;
    // Handed to scripts until shut-down; guarded by the object's lock.
    ComPtr<INetworkHandler> network_;
    ComPtr<IScheduler> scheduler_interface_;
    CCriticalSectionEx host_lock_;  // guards the holder's registration, not calls to the host
    CComGITPtr2<IHxApplication> host_;
    std::shared_ptr<brevanto::Apartment> host_apartment_;  // null: an agile host
    EventThread event_thread_;
    CCriticalSectionEx pool_lock_;  // guards the pointer, not the pool's work
    std::unique_ptr<CDefaultThreadPool> pool_;
    std::atomic<LONG> box_number_{1};
    std::u16string config_path_;
    std::u16string start_page_;
    DefaultPacketsImpl default_packets_{
        [this](ref<PacketBase> packet) { network_handler_.SendInternal(std::move(packet)); }};
    std::atomic<LONG> packet_delay_{kDefaultPacketDelay};
};

template <class F>
HRESULT CGlobal::CallHost(HRESULT no_host, F&& call) {
    std::shared_ptr<brevanto::Apartment> apartment;
    {
        CScopedLock lock(host_lock_);
        if (host_.empty()) return no_host;
        apartment = host_apartment_;
    }
    auto run = [&]() -> HRESULT {
        ComPtr<IHxApplication> host = Host();
        if (!host) return no_host;  // revoked meanwhile
        return call(host.get());
    };
    if (!apartment || apartment->IsCurrent()) return run();
    return apartment->Execute(run);
}

template <class I, class F>
HRESULT CGlobal::ObjectFromHost(HRESULT no_host, I** out, F&& get) {
    if (!out) return CallHost(no_host, [&](IHxApplication* host) { return get(host, nullptr); });
    brevanto::MarshalToken token;
    HRESULT hr = CallHost(no_host, [&](IHxApplication* host) {
        ComPtr<I> object;
        HRESULT result = get(host, object.put());
        if (object) {
            HRESULT marshalled = brevanto::MarshalInterface(object.get(), &token);
            if (FAILED(marshalled)) return marshalled;
        }
        return result;
    });
    if (!token.empty()) {
        if (*out) (*out)->Release();
        *out = nullptr;
        HRESULT fetched =
            brevanto::UnmarshalInterface(token, uuidof<I>(), reinterpret_cast<void**>(out));
        if (FAILED(fetched)) return fetched;
    }
    return hr;
}
