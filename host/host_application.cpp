#include "host/host_application.h"

#include "host/bridge/local_time.h"
#include "platform/boundary.h"
#include "platform/settings_store.h"

namespace brevanto_host {

namespace {

// The panel's network settings live in the settings store, as they would on the panel.
constexpr const char16_t* kNetworkKey = u"Software\\Brevanto\\Quorvane\\Network";

std::u16string View(BSTR text) {
    return {text ? text : u"", SysStringLen(text)};
}

HRESULT PutString(const char16_t* name, BSTR value) {
    CRegKey key;
    if (key.Create(HKEY_CURRENT_USER, kNetworkKey) != ERROR_SUCCESS) return E_FAIL;
    return key.SetStringValue(name, View(value).c_str()) == ERROR_SUCCESS ? S_OK : E_FAIL;
}

HRESULT GetString(const char16_t* name, BSTR* value) {
    if (!value) return E_POINTER;
    std::u16string text;
    CRegKey key;
    if (key.Open(HKEY_CURRENT_USER, kNetworkKey) == ERROR_SUCCESS)
        key.QueryStringValue(name, &text);
    *value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *value ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT CHostApplication::Log(BSTR text) {
    return StatusOf([&] { host_->Log(Utf16ToUtf8(View(text))); });
}

HRESULT CHostApplication::LoadScript(BSTR script_id, BSTR file_name, LONG* result) {
    return StatusOf([&] { return host_->LoadScript(View(script_id), View(file_name), result); });
}

HRESULT CHostApplication::RemoveScript(BSTR script_id) {
    return StatusOf([&] { return host_->RemoveScript(View(script_id)); });
}

HRESULT CHostApplication::Restart() {
    return StatusOf([&] { host_->RequestRestart(); });
}

HRESULT CHostApplication::Persist(BSTR name, IDispatch* object) {
    return StatusOf([&] { return host_->Persist(View(name), object); });
}

HRESULT CHostApplication::UnPersist(BSTR name, IDispatch** object) {
    return StatusOf([&] { return host_->UnPersist(View(name), object); });
}

HRESULT CHostApplication::GoToPage(BSTR page) {
    if (SysStringLen(page) == 0) return E_INVALIDARG;
    return StatusOf([&] { host_->RequestPage(Utf16ToUtf8(View(page))); });
}

HRESULT CHostApplication::GetScript(BSTR name, IDispatch** script) {
    return StatusOf([&] { return host_->GetScript(View(name), script); });
}

HRESULT CHostApplication::Calibrate(LONG flag) {
    return StatusOf([&] {
        // A PC has no touch screen to calibrate; an explicit request is noted.
        if (flag != 0) host_->Log("Calibrate: no touch screen on this host");
    });
}

HRESULT CHostApplication::Version(IDispatch** version) {
    return StatusOf([&] { return host_->Version(version); });
}

HRESULT CHostApplication::put_DHCP(LONG value) {
    return StatusOf([&] {
        CRegKey key;
        if (key.Create(HKEY_CURRENT_USER, kNetworkKey) != ERROR_SUCCESS) return E_FAIL;
        return key.SetDWORDValue(u"DHCP", static_cast<DWORD>(value)) == ERROR_SUCCESS ? S_OK
                                                                                      : E_FAIL;
    });
}

HRESULT CHostApplication::get_DHCP(LONG* value) {
    if (!value) return E_POINTER;
    return StatusOf([&] {
        DWORD stored = 1;  // a panel takes its address from DHCP unless told otherwise
        CRegKey key;
        if (key.Open(HKEY_CURRENT_USER, kNetworkKey) == ERROR_SUCCESS)
            key.QueryDWORDValue(u"DHCP", stored);
        *value = static_cast<LONG>(stored);
    });
}

HRESULT CHostApplication::put_IPAddress(BSTR value) {
    return StatusOf([&] { return PutString(u"IPAddress", value); });
}
HRESULT CHostApplication::get_IPAddress(BSTR* value) {
    return StatusOf([&] { return GetString(u"IPAddress", value); });
}
HRESULT CHostApplication::put_Subnet(BSTR value) {
    return StatusOf([&] { return PutString(u"Subnet", value); });
}
HRESULT CHostApplication::get_Subnet(BSTR* value) {
    return StatusOf([&] { return GetString(u"Subnet", value); });
}
HRESULT CHostApplication::put_Gateway(BSTR value) {
    return StatusOf([&] { return PutString(u"Gateway", value); });
}
HRESULT CHostApplication::get_Gateway(BSTR* value) {
    return StatusOf([&] { return GetString(u"Gateway", value); });
}
HRESULT CHostApplication::put_DNS1(BSTR value) {
    return StatusOf([&] { return PutString(u"DNS1", value); });
}
HRESULT CHostApplication::get_DNS1(BSTR* value) {
    return StatusOf([&] { return GetString(u"DNS1", value); });
}
HRESULT CHostApplication::put_DNS2(BSTR value) {
    return StatusOf([&] { return PutString(u"DNS2", value); });
}
HRESULT CHostApplication::get_DNS2(BSTR* value) {
    return StatusOf([&] { return GetString(u"DNS2", value); });
}

HRESULT CHostApplication::SetLocalTime(IDispatch* time) {
    return StatusOf([&] {
        // With --clock the panel's clock is the library's own, and that is the one set.
        LocalTimePolicy policy{host_->options().own_clock, host_->options().allow_clock};
        std::string refusal;
        HRESULT hr = SetLocalTimeFromDate(time, policy, &refusal);
        if (!refusal.empty()) host_->Log(refusal);
        return hr;
    });
}

HRESULT CHostApplication::GetConfigFile(BSTR* path) {
    if (!path) return E_POINTER;
    return StatusOf([&] {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::absolute(host_->options().data_dir, ec);
        std::string text = (ec ? host_->options().data_dir : dir).lexically_normal().string();
        if (text.empty() || text.back() != '/') text += '/';
        *path = SysAllocString(Utf8ToUtf16(text).c_str());
        return *path ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT CHostApplication::document(IDispatch** document) {
    return StatusOf([&] { return host_->PageObject("document", document); });
}

HRESULT CHostApplication::window(IDispatch** window) {
    return StatusOf([&] { return host_->PageObject("window", window); });
}

HRESULT CHostApplication::Close() {
    return StatusOf([&] { host_->RequestClose(); });
}

}  // namespace brevanto_host
