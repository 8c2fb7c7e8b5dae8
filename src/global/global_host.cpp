// The members of Global that the host application implements. Forwards may come from any thread
// (event handlers call Log from pool threads): each one runs in the host's apartment with a host
// pointer fetched there, and lets go of it after the call.
#include "dispatch/placeholders.h"
#include "global/global.h"
#include "platform/boundary.h"
#include "platform/proxy.h"

namespace {

// What a forward answers when no host is set.
constexpr HRESULT kNoHostAction = S_OK;    // operations: nothing to do
constexpr HRESULT kNoHostValue = S_FALSE;  // queries and settings: nothing known

// An object argument on its way to the host's thread.
class ObjectForHost {
  public:
    explicit ObjectForHost(IDispatch* object) {
        if (object) hr_ = brevanto::MarshalInterface(object, &token_);
    }
    // On the host's thread.
    HRESULT Get(ComPtr<IDispatch>* object) const {
        if (FAILED(hr_) || token_.empty()) return hr_;
        return brevanto::UnmarshalInterface(token_, IID_IDispatch, object->put_void());
    }

  private:
    brevanto::MarshalToken token_;
    HRESULT hr_ = S_OK;
};

}  // namespace

ComPtr<IHxApplication> CGlobal::Host() {
    CScopedLock lock(host_lock_);
    if (host_.empty()) return nullptr;
    return host_.Get();
}

ComPtr<IDispatch> CGlobal::GetHostScript(std::u16string_view name) {
    CComBSTR text(name);
    if (!text && !name.empty()) throw HResultError(E_OUTOFMEMORY);
    ComPtr<IDispatch> script;
    HRESULT hr = ObjectFromHost(S_FALSE, script.put(), [&](IHxApplication* host, IDispatch** out) {
        return host->GetScript(text, out);
    });
    if (FAILED(hr)) return nullptr;
    return script;
}

HRESULT CGlobal::SetApplication(IUnknown* pHxApp) {
    ComPtr<IHxApplication> app;
    if (!pHxApp || FAILED(pHxApp->QueryInterface(app.put())) || !app) return E_NOINTERFACE;
    // Registered before the old host is let go, so a failure leaves the old host in place.
    CComGITPtr2<IHxApplication> holder;
    HRESULT hr = holder.Attach(app.get());
    if (FAILED(hr)) return hr;
    std::shared_ptr<brevanto::Apartment> apartment =
        IsAgileObject(app.get()) ? nullptr : brevanto::Apartment::Current();
    {
        CScopedLock lock(host_lock_);
        std::swap(host_, holder);
        host_apartment_ = std::move(apartment);
    }
    CComBSTR config;
    if (FAILED(app->GetConfigFile(&config)) || !static_cast<BSTR>(config)) return S_OK;
    return StatusOf([&] { LoadConfiguration(config.view()); });
}

void CGlobal::LoadConfiguration(std::u16string_view path) {
    config_.SetDataDirectory(path);
    config_.Load();
    PacketDefaults packet_defaults;
    config_.GetUnsigned(u"DefaultLogicalFade", &packet_defaults.logical_fade);
    config_.GetUnsigned(u"DefaultPhysicalFade", &packet_defaults.physical_fade);
    config_.GetUnsigned(u"PacketDelay", &packet_defaults.packet_delay);
    default_packets_.SetSettings(packet_defaults);
    CComVariant delay = config_.GetValue(u"PacketDelay", VT_I4);
    CComVariant start_page = config_.GetValue(u"StartPage", VT_BSTR);
    start_page_ = start_page.vt == VT_BSTR
                      ? std::u16string(start_page.bstrVal ? start_page.bstrVal : u"",
                                       SysStringLen(start_page.bstrVal))
                      : std::u16string();
    config_path_.assign(path);
    security_.Load(path);
    if (!scheduler_.Load(path, config_, GetHostScript(CScheduler::kHiddenScript).get())) {
        CComBSTR message(u"Schedules not loaded. Missing or invalid locale file.");
        Log(message);
    }
    packet_delay_ = delay.vt == VT_I4 ? delay.lVal : kDefaultPacketDelay;
}

HRESULT CGlobal::GetApplication(IUnknown** ppHxApp) {
    if (!ppHxApp) return E_POINTER;
    if (*ppHxApp) (*ppHxApp)->Release();
    *ppHxApp = nullptr;
    return ObjectFromHost(S_OK, ppHxApp, [](IHxApplication* host, IUnknown** out) {
        return host->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(out));
    });
}

HRESULT CGlobal::Log(BSTR bstr) {
    CallHost(kNoHostAction, [&](IHxApplication* host) { return host->Log(bstr); });
    return S_OK;
}

HRESULT CGlobal::LoadScript(BSTR ScriptID, BSTR FileName, LONG* pResult) {
    CallHost(kNoHostAction,
             [&](IHxApplication* host) { return host->LoadScript(ScriptID, FileName, pResult); });
    return S_OK;
}

HRESULT CGlobal::RemoveScript(BSTR ScriptID) {
    CallHost(kNoHostAction, [&](IHxApplication* host) { return host->RemoveScript(ScriptID); });
    return S_OK;
}

HRESULT CGlobal::_LoadScriptPlaceHolder(IUnknown* pPlaceHolder, BSTR FileName, LONG* pResult) {
    ComPtr<IPlaceHolder> placeholder;
    if (!pPlaceHolder || FAILED(pPlaceHolder->QueryInterface(placeholder.put())) || !placeholder)
        return E_INVALIDARG;
    CComVariant dependant;
    CComVariant script_id;
    if (FAILED(placeholder->get_Dependant(&dependant)) ||
        FAILED(VariantChangeType(&script_id, &dependant, 0, VT_BSTR)))
        return E_INVALIDARG;
    LoadScript(script_id.bstrVal, FileName, pResult);
    // The placeholder now owns the script: destroying its context removes it again.
    placeholder->Register(nullptr);
    return S_OK;
}

HRESULT CGlobal::Persist(BSTR PersistName, IDispatch* pDispatch) {
    ObjectForHost object(pDispatch);
    return CallHost(kNoHostAction, [&](IHxApplication* host) {
        ComPtr<IDispatch> there;
        HRESULT hr = object.Get(&there);
        return FAILED(hr) ? hr : host->Persist(PersistName, there.get());
    });
}

HRESULT CGlobal::UnPersist(BSTR PersistName, IDispatch** ppDispatch) {
    return ObjectFromHost(kNoHostAction, ppDispatch, [&](IHxApplication* host, IDispatch** out) {
        return host->UnPersist(PersistName, out);
    });
}

HRESULT CGlobal::Calibrate() {
    return CallHost(kNoHostAction, [](IHxApplication* host) { return host->Calibrate(-1); });
}

HRESULT CGlobal::Restart() {
    return CallHost(kNoHostAction, [](IHxApplication* host) { return host->Restart(); });
}

HRESULT CGlobal::GoToPage(BSTR Page) {
    return CallHost(kNoHostAction, [&](IHxApplication* host) { return host->GoToPage(Page); });
}

HRESULT CGlobal::Close() {
    return CallHost(kNoHostAction, [](IHxApplication* host) { return host->Close(); });
}

HRESULT CGlobal::get_Version(IDispatch** pVal) {
    return ObjectFromHost(kNoHostValue, pVal,
                          [](IHxApplication* host, IDispatch** out) { return host->Version(out); });
}

HRESULT CGlobal::put_DHCP(LONG newVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->put_DHCP(newVal); });
}

HRESULT CGlobal::get_DHCP(LONG* pVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->get_DHCP(pVal); });
}

HRESULT CGlobal::put_IPAddress(BSTR newVal) {
    return CallHost(kNoHostValue,
                    [&](IHxApplication* host) { return host->put_IPAddress(newVal); });
}

HRESULT CGlobal::get_IPAddress(BSTR* pVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->get_IPAddress(pVal); });
}

HRESULT CGlobal::put_Subnet(BSTR newVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->put_Subnet(newVal); });
}

HRESULT CGlobal::get_Subnet(BSTR* pVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->get_Subnet(pVal); });
}

HRESULT CGlobal::put_Gateway(BSTR newVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->put_Gateway(newVal); });
}

HRESULT CGlobal::get_Gateway(BSTR* pVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->get_Gateway(pVal); });
}

HRESULT CGlobal::put_DNS1(BSTR newVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->put_DNS1(newVal); });
}

HRESULT CGlobal::get_DNS1(BSTR* pVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->get_DNS1(pVal); });
}

HRESULT CGlobal::put_DNS2(BSTR newVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->put_DNS2(newVal); });
}

HRESULT CGlobal::get_DNS2(BSTR* pVal) {
    return CallHost(kNoHostValue, [&](IHxApplication* host) { return host->get_DNS2(pVal); });
}

HRESULT CGlobal::SetLocalTime(IDispatch* pDispatch) {
    ObjectForHost time(pDispatch);
    HRESULT hr = CallHost(kNoHostValue, [&](IHxApplication* host) {
        ComPtr<IDispatch> there;
        HRESULT got = time.Get(&there);
        return FAILED(got) ? got : host->SetLocalTime(there.get());
    });
    scheduler_.ClockChanged();
    return hr;
}

HRESULT CGlobal::get_document(IDispatch** pVal) {
    return ObjectFromHost(kNoHostValue, pVal, [](IHxApplication* host, IDispatch** out) {
        return host->document(out);
    });
}

HRESULT CGlobal::get_window(IDispatch** pVal) {
    return ObjectFromHost(kNoHostValue, pVal,
                          [](IHxApplication* host, IDispatch** out) { return host->window(out); });
}
