#include "host/bridge/page_site.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "interfaces/global.h"
#include "platform/version.h"

namespace brevanto_host {

namespace {

constexpr const char16_t* kGlobalClass = u"Brevanto.Global";
constexpr const char16_t* kHiddenScriptName = u" hidden script";
constexpr const char* kHiddenScriptGlobal = "__hiddenScript";

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// A property of an object by name, through late binding.
CComVariant ReadProperty(IDispatch* object, const char16_t* name) {
    CComVariant value;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID dispid = DISPID_UNKNOWN;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid)))
        return value;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value,
                   nullptr, nullptr);
    return value;
}

ComPtr<IUnknown> IdentityOf(IUnknown* object) {
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_IUnknown, identity.put_void());
    return identity;
}

}  // namespace

bool PageSite::EnterApartment() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return false;
    in_apartment_ = true;
    page_thread_ = brevanto::CurrentThreadId();
    return true;
}

bool PageSite::LoadModule(const std::filesystem::path& file, std::string* error) {
    if (!module_.Load(file, error)) return false;
    CLSIDFromProgID(kGlobalClass, &global_class_);
    return true;
}

PageSite::GlobalStart PageSite::StartGlobal(IUnknown* application, std::string* error) {
    HRESULT hr = module_.Create(kGlobalClass, global_.put());
    if (FAILED(hr)) {
        *error = "Brevanto.Global is not available (" + Hex(hr) + ")";
        return GlobalStart::kUnavailable;
    }
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    if (!root) {
        *error = "Brevanto.Global does not answer IGlobal";
        return GlobalStart::kFailed;
    }
    if (FAILED(hr = root->SetApplication(application)) || FAILED(hr = root->Start())) {
        *error = "starting Global failed (" + Hex(hr) + ")";
        return GlobalStart::kFailed;
    }
    return GlobalStart::kStarted;
}

void PageSite::StopGlobal() {
    ForgetPersisted();
    if (std::exchange(in_apartment_, false)) CoUninitialize();
    if (!global_) return;
    if (auto destroy = global_.As<IDestroy>()) destroy->Destroy();
    global_ = nullptr;
}

std::string PageSite::StartPageSetting() {
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    ComPtr<IDispatch> config;
    if (!root || FAILED(root->get_Config(config.put())) || !config) return {};
    CComVariant page = ReadProperty(config.get(), u"StartPage");
    if (page.vt != VT_BSTR) return {};
    return Utf16ToUtf8({page.bstrVal, SysStringLen(page.bstrVal)});
}

ComPtr<IDispatch> PageSite::BeginPage() {
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    if (!root) return nullptr;
    // The page works through a data context of its own, so that what it registers goes away
    // with it.
    ComPtr<IDispatch> read_only;
    if (SUCCEEDED(root->get_ReadOnly(read_only.put()))) context_ = read_only.As<IDataContext>();
    return read_only ? read_only : global_;
}

void PageSite::EndPage(const std::function<void()>& release_engine) {
    if (context_) {
        // Removing the scripts the page loaded deletes their globals: the engine is still here.
        context_->DestroyDependantObjects();
        if (auto destroy = context_.As<IDestroy>()) destroy->Destroy();
        context_ = nullptr;
    }
    // The engine goes before the objects break their cycles: its finalizers release what the
    // scripts held (a filter's Callbacks collection lives inside the filter) while all of it
    // still exists.
    release_engine();
    std::vector<ComPtr<IUnknown>> objects;
    {
        std::lock_guard lock(mutex_);
        objects = std::move(page_objects_);
        page_objects_.clear();
        loaded_scripts_.clear();
    }
    DestroyUnlessPersisted(std::move(objects));
}

void PageSite::ForgetPersisted() {
    std::vector<ComPtr<IUnknown>> objects;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, object] : persisted_)
            objects.push_back(object.As<IUnknown>());
        persisted_.clear();
    }
    DestroyUnlessPersisted(std::move(objects));
}

HRESULT PageSite::CreateForPage(const std::u16string& prog_id, IDispatch** object,
                                std::string* refusal) {
    // The panel's Global is the library's current one: a second one made by a page would cut
    // the panel off its bus and its handlers.
    CLSID clsid{};
    if (global_ && SUCCEEDED(CLSIDFromProgID(prog_id.c_str(), &clsid)) && clsid == global_class_) {
        *refusal = "a page cannot create " + Utf16ToUtf8(prog_id) +
                   ": the panel has one Global, which pages use as `Global`";
        return E_ACCESSDENIED;
    }
    HRESULT hr = module_.Create(prog_id, object);
    if (SUCCEEDED(hr) && *object) {
        ComPtr<IUnknown> identity = IdentityOf(*object);
        std::lock_guard lock(mutex_);
        page_objects_.push_back(std::move(identity));
    }
    return hr;
}

void PageSite::DestroyUnlessPersisted(std::vector<ComPtr<IUnknown>> objects) {
    std::vector<IUnknown*> done;
    for (auto& object : objects) {
        if (!object || std::find(done.begin(), done.end(), object.get()) != done.end()) continue;
        done.push_back(object.get());
        if (IsPersisted(object.get())) continue;
        if (auto destroy = object.As<IDestroy>()) destroy->Destroy();
    }
}

bool PageSite::IsPersisted(IUnknown* object) {
    ComPtr<IUnknown> identity = IdentityOf(object);
    std::lock_guard lock(mutex_);
    return std::any_of(persisted_.begin(), persisted_.end(), [&](const auto& kept) {
        return kept.second.template As<IUnknown>() == identity;
    });
}

HRESULT PageSite::OnPageThread(const std::function<HRESULT()>& work) {
    if (brevanto::CurrentThreadId() == page_thread_) return work();
    auto apartment = brevanto::Apartment::OfThread(page_thread_);
    if (!apartment) return RPC_E_DISCONNECTED;
    return apartment->Execute(work);
}

HRESULT PageSite::LoadScript(const std::u16string& id, const std::u16string& file, LONG* result) {
    return OnPageThread([&]() -> HRESULT {
        if (result) *result = 0;
        if (!host_.HasPage()) return E_FAIL;
        std::filesystem::path path = Utf16ToUtf8(file);
        if (path.is_relative()) path = host_.PageDirectory() / path;
        std::vector<std::string> before = host_.GlobalNames();
        ScriptError error;
        const bool ok = host_.RunRemovableFile(path, &error);
        std::vector<std::string> added;
        for (const std::string& name : host_.GlobalNames()) {
            if (std::find(before.begin(), before.end(), name) == before.end())
                added.push_back(name);
        }
        {
            std::lock_guard lock(mutex_);
            auto& names = loaded_scripts_[id];
            names.insert(names.end(), added.begin(), added.end());
        }
        if (!ok) {
            // As a browser does with a script element that fails: said, and the page goes on.
            host_.Report(error);
            return E_FAIL;
        }
        if (result) *result = 1;
        return S_OK;
    });
}

HRESULT PageSite::RemoveScript(const std::u16string& id) {
    return OnPageThread([&]() -> HRESULT {
        std::vector<std::string> names;
        {
            std::lock_guard lock(mutex_);
            auto found = loaded_scripts_.find(id);
            if (found == loaded_scripts_.end()) return S_FALSE;
            names = std::move(found->second);
            loaded_scripts_.erase(found);
        }
        if (host_.HasPage()) {
            for (const std::string& name : names)
                host_.DeleteGlobal(name);
        }
        return S_OK;
    });
}

HRESULT PageSite::GetScript(const std::u16string& name, IDispatch** script) {
    if (!script) return E_POINTER;
    *script = nullptr;
    if (name != kHiddenScriptName) return S_FALSE;
    return PageObject(kHiddenScriptGlobal, script);
}

HRESULT PageSite::PageObject(const char* name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    return OnPageThread(
        [&]() -> HRESULT { return host_.HasPage() ? host_.GlobalObject(name, object) : E_FAIL; });
}

HRESULT PageSite::Persist(const std::u16string& name, IDispatch* object) {
    std::lock_guard lock(mutex_);
    auto found = persisted_.find(name);
    if (found != persisted_.end()) {
        // Leaves the store: destroyed with the page unless persisted again by then.
        page_objects_.push_back(found->second.As<IUnknown>());
        persisted_.erase(found);
    }
    if (object) persisted_.emplace(name, object);
    return S_OK;
}

HRESULT PageSite::UnPersist(const std::u16string& name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    std::lock_guard lock(mutex_);
    auto found = persisted_.find(name);
    if (found == persisted_.end()) return S_FALSE;
    *object = found->second.get();
    if (*object) (*object)->AddRef();
    return S_OK;
}

HRESULT PageSite::Version(IDispatch** version) {
    if (!version) return E_POINTER;
    *version = nullptr;
    return OnPageThread([&]() -> HRESULT {
        if (!host_.HasPage()) return E_FAIL;
        const std::string number = brevanto::ProductVersion();
        CComVariant value;
        HRESULT hr =
            host_.Evaluate("({ Library: '" + number + "', " + version_key_ + ": '" + number +
                               "', Engine: " + host_.EngineNameExpression() + " })",
                           &value);
        if (FAILED(hr)) return hr;
        if (value.vt != VT_DISPATCH) return E_FAIL;
        *version = value.pdispVal;
        value.vt = VT_EMPTY;
        return S_OK;
    });
}

}  // namespace brevanto_host
