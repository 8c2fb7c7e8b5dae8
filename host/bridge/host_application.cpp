#include "host/bridge/host_application.h"

#include "platform/boundary.h"

namespace brevanto_host {

namespace {

std::u16string View(BSTR text) {
    return {text ? text : u"", SysStringLen(text)};
}

HRESULT ReturnText(const std::u16string& text, BSTR* value) {
    *value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *value ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT CHostApplication::Log(BSTR text) {
    return StatusOf([&] { site_->host().Log(Utf16ToUtf8(View(text))); });
}

HRESULT CHostApplication::LoadScript(BSTR script_id, BSTR file_name, LONG* result) {
    return StatusOf([&] { return site_->LoadScript(View(script_id), View(file_name), result); });
}

HRESULT CHostApplication::RemoveScript(BSTR script_id) {
    return StatusOf([&] { return site_->RemoveScript(View(script_id)); });
}

HRESULT CHostApplication::Restart() {
    return StatusOf([&] { site_->host().RequestRestart(); });
}

HRESULT CHostApplication::Persist(BSTR name, IDispatch* object) {
    return StatusOf([&] { return site_->Persist(View(name), object); });
}

HRESULT CHostApplication::UnPersist(BSTR name, IDispatch** object) {
    return StatusOf([&] { return site_->UnPersist(View(name), object); });
}

HRESULT CHostApplication::GoToPage(BSTR page) {
    if (SysStringLen(page) == 0) return E_INVALIDARG;
    return StatusOf([&] { site_->host().RequestPage(Utf16ToUtf8(View(page))); });
}

HRESULT CHostApplication::GetScript(BSTR name, IDispatch** script) {
    return StatusOf([&] { return site_->GetScript(View(name), script); });
}

HRESULT CHostApplication::Calibrate(LONG flag) {
    return StatusOf([&] {
        if (flag != 0) site_->host().Log(profile_.calibrate_note);
    });
}

HRESULT CHostApplication::Version(IDispatch** version) {
    return StatusOf([&] { return site_->Version(version); });
}

HRESULT CHostApplication::put_DHCP(LONG value) {
    return StatusOf([&] { return profile_.network->PutDhcp(value); });
}

HRESULT CHostApplication::get_DHCP(LONG* value) {
    if (!value) return E_POINTER;
    return StatusOf([&] { return profile_.network->GetDhcp(value); });
}

HRESULT CHostApplication::GetSetting(NetworkSetting which, BSTR* value) {
    if (!value) return E_POINTER;
    *value = nullptr;
    return StatusOf([&] {
        std::u16string text;
        HRESULT hr = profile_.network->Get(which, &text);
        return FAILED(hr) ? hr : ReturnText(text, value);
    });
}

HRESULT CHostApplication::PutSetting(NetworkSetting which, BSTR value) {
    return StatusOf([&] { return profile_.network->Put(which, View(value)); });
}

HRESULT CHostApplication::put_IPAddress(BSTR value) {
    return PutSetting(NetworkSetting::kIPAddress, value);
}
HRESULT CHostApplication::get_IPAddress(BSTR* value) {
    return GetSetting(NetworkSetting::kIPAddress, value);
}
HRESULT CHostApplication::put_Subnet(BSTR value) {
    return PutSetting(NetworkSetting::kSubnet, value);
}
HRESULT CHostApplication::get_Subnet(BSTR* value) {
    return GetSetting(NetworkSetting::kSubnet, value);
}
HRESULT CHostApplication::put_Gateway(BSTR value) {
    return PutSetting(NetworkSetting::kGateway, value);
}
HRESULT CHostApplication::get_Gateway(BSTR* value) {
    return GetSetting(NetworkSetting::kGateway, value);
}
HRESULT CHostApplication::put_DNS1(BSTR value) {
    return PutSetting(NetworkSetting::kDNS1, value);
}
HRESULT CHostApplication::get_DNS1(BSTR* value) {
    return GetSetting(NetworkSetting::kDNS1, value);
}
HRESULT CHostApplication::put_DNS2(BSTR value) {
    return PutSetting(NetworkSetting::kDNS2, value);
}
HRESULT CHostApplication::get_DNS2(BSTR* value) {
    return GetSetting(NetworkSetting::kDNS2, value);
}

HRESULT CHostApplication::SetLocalTime(IDispatch* time) {
    return StatusOf([&] {
        // With --clock the panel's clock is the library's own, and that is the one set.
        std::string refusal;
        HRESULT hr = SetLocalTimeFromDate(time, profile_.clock, &refusal);
        if (!refusal.empty()) site_->host().Log(refusal);
        return hr;
    });
}

HRESULT CHostApplication::GetConfigFile(BSTR* path) {
    if (!path) return E_POINTER;
    return StatusOf([&] {
        std::error_code ec;
        std::filesystem::path dir = std::filesystem::absolute(profile_.data_dir, ec);
        std::string text = (ec ? profile_.data_dir : dir).lexically_normal().string();
        if (text.empty() || text.back() != '/') text += '/';
        return ReturnText(Utf8ToUtf16(text), path);
    });
}

HRESULT CHostApplication::document(IDispatch** document) {
    return StatusOf([&] { return site_->PageObject("document", document); });
}

HRESULT CHostApplication::window(IDispatch** window) {
    return StatusOf([&] { return site_->PageObject("window", window); });
}

HRESULT CHostApplication::Close() {
    return StatusOf([&] { site_->host().RequestClose(); });
}

}  // namespace brevanto_host
