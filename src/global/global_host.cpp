// The members of Global that the host application implements. Each forward fetches a pointer to
// the host that is valid on the calling thread (event handlers call Log from pool threads) and
// lets go of it after the call.
#include "dispatch/placeholders.h"
#include "global/global.h"

namespace {

// What a forward answers when no host is set.
constexpr HRESULT kNoHostAction = S_OK;    // operations: nothing to do
constexpr HRESULT kNoHostValue = S_FALSE;  // queries and settings: nothing known

}  // namespace

ComPtr<IHxApplication> CGlobal::Host() {
    std::lock_guard lock(host_mutex_);
    if (host_.empty()) return nullptr;
    return host_.Get();
}

ComPtr<IDispatch> CGlobal::GetHostScript(std::u16string_view name) {
    ComPtr<IHxApplication> host = Host();
    if (!host) return nullptr;
    CComBSTR text(name);
    if (!text && !name.empty()) throw HResultError(E_OUTOFMEMORY);
    ComPtr<IDispatch> script;
    if (FAILED(host->GetScript(text, script.put()))) return nullptr;
    return script;
}

HRESULT CGlobal::SetApplication(IUnknown* pHxApp) {
    ComPtr<IHxApplication> app;
    if (!pHxApp || FAILED(pHxApp->QueryInterface(app.put())) || !app) return E_NOINTERFACE;
    // Registered before the old host is let go, so a failure leaves the old host in place.
    CComGITPtr2<IHxApplication> holder;
    HRESULT hr = holder.Attach(app.get());
    if (FAILED(hr)) return hr;
    {
        std::lock_guard lock(host_mutex_);
        std::swap(host_, holder);
    }
    CComBSTR config;
    if (FAILED(app->GetConfigFile(&config)) || !static_cast<BSTR>(config)) return S_OK;
    config_path_.assign(config.view());
    // Loading the configuration, the default-packet settings, the packet delay, the start page,
    // the security files and the schedules joins here with the configuration, security and
    // scheduler services.
    return S_OK;
}

HRESULT CGlobal::GetApplication(IUnknown** ppHxApp) {
    if (!ppHxApp) return E_POINTER;
    if (*ppHxApp) (*ppHxApp)->Release();
    *ppHxApp = nullptr;
    ComPtr<IHxApplication> host = Host();
    if (!host) return S_OK;
    return host->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppHxApp));
}

HRESULT CGlobal::Log(BSTR bstr) {
    if (ComPtr<IHxApplication> host = Host()) host->Log(bstr);
    return S_OK;
}

HRESULT CGlobal::LoadScript(BSTR ScriptID, BSTR FileName, LONG* pResult) {
    if (ComPtr<IHxApplication> host = Host()) host->LoadScript(ScriptID, FileName, pResult);
    return S_OK;
}

HRESULT CGlobal::RemoveScript(BSTR ScriptID) {
    if (ComPtr<IHxApplication> host = Host()) host->RemoveScript(ScriptID);
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
    ComPtr<IHxApplication> host = Host();
    return host ? host->Persist(PersistName, pDispatch) : kNoHostAction;
}

HRESULT CGlobal::UnPersist(BSTR PersistName, IDispatch** ppDispatch) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->UnPersist(PersistName, ppDispatch) : kNoHostAction;
}

HRESULT CGlobal::Calibrate() {
    ComPtr<IHxApplication> host = Host();
    return host ? host->Calibrate(-1) : kNoHostAction;
}

HRESULT CGlobal::Restart() {
    ComPtr<IHxApplication> host = Host();
    return host ? host->Restart() : kNoHostAction;
}

HRESULT CGlobal::GoToPage(BSTR Page) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->GoToPage(Page) : kNoHostAction;
}

HRESULT CGlobal::Close() {
    ComPtr<IHxApplication> host = Host();
    return host ? host->Close() : kNoHostAction;
}

HRESULT CGlobal::get_Version(IDispatch** pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->Version(pVal) : kNoHostValue;
}

HRESULT CGlobal::put_DHCP(LONG newVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->put_DHCP(newVal) : kNoHostValue;
}

HRESULT CGlobal::get_DHCP(LONG* pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->get_DHCP(pVal) : kNoHostValue;
}

HRESULT CGlobal::put_IPAddress(BSTR newVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->put_IPAddress(newVal) : kNoHostValue;
}

HRESULT CGlobal::get_IPAddress(BSTR* pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->get_IPAddress(pVal) : kNoHostValue;
}

HRESULT CGlobal::put_Subnet(BSTR newVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->put_Subnet(newVal) : kNoHostValue;
}

HRESULT CGlobal::get_Subnet(BSTR* pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->get_Subnet(pVal) : kNoHostValue;
}

HRESULT CGlobal::put_Gateway(BSTR newVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->put_Gateway(newVal) : kNoHostValue;
}

HRESULT CGlobal::get_Gateway(BSTR* pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->get_Gateway(pVal) : kNoHostValue;
}

HRESULT CGlobal::put_DNS1(BSTR newVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->put_DNS1(newVal) : kNoHostValue;
}

HRESULT CGlobal::get_DNS1(BSTR* pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->get_DNS1(pVal) : kNoHostValue;
}

HRESULT CGlobal::put_DNS2(BSTR newVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->put_DNS2(newVal) : kNoHostValue;
}

HRESULT CGlobal::get_DNS2(BSTR* pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->get_DNS2(pVal) : kNoHostValue;
}

HRESULT CGlobal::SetLocalTime(IDispatch* pDispatch) {
    ComPtr<IHxApplication> host = Host();
    // Telling the scheduler that the clock changed joins here with the scheduler.
    return host ? host->SetLocalTime(pDispatch) : kNoHostValue;
}

HRESULT CGlobal::get_document(IDispatch** pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->document(pVal) : kNoHostValue;
}

HRESULT CGlobal::get_window(IDispatch** pVal) {
    ComPtr<IHxApplication> host = Host();
    return host ? host->window(pVal) : kNoHostValue;
}
