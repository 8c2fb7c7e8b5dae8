#include "panel/extension/web_panel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "host/bridge/page_scripts.h"
#include "interfaces/global.h"
#include "panel/extension/panel_application.h"
#include "panel/extension/script_object.h"
#include "panel/protocol.h"
#include "platform/clock.h"

#ifndef BREVANTO_VERSION
#define BREVANTO_VERSION "0"
#endif

namespace brevanto_panel {

namespace {

constexpr const char16_t* kGlobalClass = u"Brevanto.Global";

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The panel clock's offset from the system clock, in milliseconds (for the page's Date).
double PanelClockOffset(gpointer) {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(WallClockOffset()).count());
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

}  // namespace

WebPanel::WebPanel(WebKitWebExtension* extension, WebPanelSettings settings)
    : extension_(extension), settings_(std::move(settings)) {
    g_signal_connect(extension_, "page-created", G_CALLBACK(OnPageCreated), this);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(OnWindowObjectCleared), this);
}

WebPanel::~WebPanel() {
    ShutDown();
}

void WebPanel::OnPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer self) {
    auto* panel = static_cast<WebPanel*>(self);
    if (panel->page_) return;  // the panel shows one page view
    panel->page_ = page;
    g_signal_connect(page, "user-message-received", G_CALLBACK(OnMessage), panel);
    std::string error;
    if (!panel->StartLibrary(&error)) {
        panel->Send(kMessageFailed, error);
        return;
    }
    panel->Send(kMessageReady, panel->StartPageSetting());
}

gboolean WebPanel::OnMessage(WebKitWebPage*, WebKitUserMessage* message, gpointer self) {
    auto* panel = static_cast<WebPanel*>(self);
    if (std::string(webkit_user_message_get_name(message)) != kMessageShutDown) return FALSE;
    panel->ShutDown();
    webkit_user_message_send_reply(message, webkit_user_message_new(kMessageShutDown, nullptr));
    return TRUE;
}

void WebPanel::OnWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page,
                                     WebKitFrame* frame, gpointer self) {
    auto* panel = static_cast<WebPanel*>(self);
    if (page != panel->page_ || !webkit_frame_is_main_frame(frame) || panel->shut_down_) return;
    panel->EndPage();
    panel->StartPage(frame, world);
}

bool WebPanel::StartLibrary(std::string* error) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        *error = "cannot enter a single-threaded apartment";
        return false;
    }
    page_thread_ = brevanto::CurrentThreadId();
    pump_ = std::make_unique<ApartmentSource>();
    serial_mapping_.Apply(settings_.serial);
    std::filesystem::path file = settings_.module_file.empty()
                                     ? brevanto_host::LibraryModule::DefaultFile()
                                     : settings_.module_file;
    if (!module_.Load(file, error)) return false;
    CLSIDFromProgID(kGlobalClass, &global_class_);
    const UINT restart = RegisterWindowMessageW(kRestartAppMessageName);
    const UINT shut_down = RegisterWindowMessageW(kShutdownNicelyMessageName);
    listener_ =
        AddMessageListener([this, restart, shut_down](UINT message, std::uintptr_t, std::intptr_t) {
            if (message == shut_down) {
                Log("brevanto-panel: shut-down requested by the network");
                RequestClose();
            } else if (message == restart) {
                Log("brevanto-panel: restart requested by the network: the start page again");
                RequestRestart();
            }
        });
    return StartGlobal(error);
}

bool WebPanel::StartGlobal(std::string* error) {
    HRESULT hr = module_.Create(kGlobalClass, global_.put());
    if (FAILED(hr)) {
        *error = "Brevanto.Global is not available (" + Hex(hr) + ")";
        return false;
    }
    ComPtr<PanelApplication> application;
    if (FAILED(hr = MakeComObject(&application, this))) {
        *error = "out of memory";
        return false;
    }
    application_ = static_cast<IHxApplication*>(application.get());
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    if (!root) {
        *error = "Brevanto.Global does not answer IGlobal";
        return false;
    }
    if (FAILED(hr = root->SetApplication(application_.get())) || FAILED(hr = root->Start())) {
        *error = "starting Global failed (" + Hex(hr) + ")";
        return false;
    }
    return true;
}

void WebPanel::StopGlobal() {
    if (global_) {
        if (auto destroy = global_.As<IDestroy>()) destroy->Destroy();
        global_ = nullptr;
    }
    application_ = nullptr;
}

std::string WebPanel::StartPageSetting() {
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    ComPtr<IDispatch> config;
    if (!root || FAILED(root->get_Config(config.put())) || !config) return {};
    CComVariant page = ReadProperty(config.get(), u"StartPage");
    if (page.vt != VT_BSTR) return {};
    return Utf16ToUtf8({page.bstrVal, SysStringLen(page.bstrVal)});
}

void WebPanel::StartPage(WebKitFrame* frame, WebKitScriptWorld* world) {
    context_ = webkit_frame_get_js_context_for_script_world(frame, world);
    PageServices services;
    services.create = [this](const std::u16string& prog_id, IDispatch** object,
                             std::string* refusal) {
        return CreateForPage(prog_id, object, refusal);
    };
    services.log = [this](const std::string& text) { Log(text); };
    services.report = [this](const ScriptError& error, bool initial) {
        ReportError(error, initial);
    };
    JscBridge* bridge = JscBridge::Install(context_, std::move(services));
    JSCValue* ignored = jsc_context_evaluate(context_, brevanto_host::kHiddenScriptSetup, -1);
    g_object_unref(ignored);
    if (settings_.clock.own_clock) {
        JSCValue* setup = jsc_context_evaluate(context_, brevanto_host::kClockSetup, -1);
        JSCValue* offset = jsc_value_new_function(context_, nullptr, G_CALLBACK(PanelClockOffset),
                                                  nullptr, nullptr, G_TYPE_DOUBLE, 0);
        JSCValue* args[] = {offset};
        g_object_unref(jsc_value_function_callv(setup, 1, args));
        g_object_unref(offset);
        g_object_unref(setup);
    }
    if (ComPtr<IGlobal> root = global_.As<IGlobal>()) {
        // The page works through a data context of its own, so that what it registers goes
        // away with it.
        ComPtr<IDispatch> read_only;
        if (SUCCEEDED(root->get_ReadOnly(read_only.put())))
            data_context_ = read_only.As<IDataContext>();
        CComVariant value(read_only ? read_only.get() : global_.get());
        bridge->SetGlobal("Global", value);
    }
}

void WebPanel::EndPage() {
    if (data_context_) {
        // Removing the scripts the page loaded deletes their globals: the page is still here.
        data_context_->DestroyDependantObjects();
        if (auto destroy = data_context_.As<IDestroy>()) destroy->Destroy();
        data_context_ = nullptr;
    }
    if (context_) {
        if (JscBridge* bridge = JscBridge::Of(context_)) bridge->End();
        g_object_unref(context_);
        context_ = nullptr;
    }
    std::vector<ComPtr<IUnknown>> objects;
    {
        std::lock_guard lock(mutex_);
        objects = std::move(page_objects_);
        page_objects_.clear();
        loaded_scripts_.clear();
    }
    DestroyUnlessPersisted(std::move(objects));
}

void WebPanel::ShutDown() {
    if (shut_down_ || page_thread_ == 0) return;
    shut_down_ = true;
    EndPage();
    std::vector<ComPtr<IUnknown>> kept;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, object] : persisted_)
            kept.push_back(object.As<IUnknown>());
        persisted_.clear();
    }
    DestroyUnlessPersisted(std::move(kept));
    if (listener_) RemoveMessageListener(listener_);
    listener_ = 0;
    pump_.reset();
    // Ending the apartment first fails the calls that workers still have queued for it, so
    // that shutting Global down never waits for a thread that waits for this one.
    CoUninitialize();
    StopGlobal();
    serial_mapping_.Restore();
}

void WebPanel::ReportError(const ScriptError& error, bool initial) {
    {
        std::lock_guard lock(log_mutex_);
        std::fflush(stdout);
        std::fprintf(stderr, "brevanto-panel: %s\n", error.Describe().c_str());
        std::fflush(stderr);
    }
    if (initial) Send(kMessagePageFailed, error.Describe());
}

void WebPanel::Log(const std::string& text) {
    std::lock_guard lock(log_mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

HRESULT WebPanel::CreateForPage(const std::u16string& prog_id, IDispatch** object,
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
        ComPtr<IUnknown> identity;
        (*object)->QueryInterface(IID_IUnknown, identity.put_void());
        std::lock_guard lock(mutex_);
        page_objects_.push_back(std::move(identity));
    }
    return hr;
}

void WebPanel::DestroyUnlessPersisted(std::vector<ComPtr<IUnknown>> objects) {
    std::vector<IUnknown*> done;
    for (auto& object : objects) {
        if (!object || std::find(done.begin(), done.end(), object.get()) != done.end()) continue;
        done.push_back(object.get());
        if (IsPersisted(object.get())) continue;
        if (auto destroy = object.As<IDestroy>()) destroy->Destroy();
    }
}

bool WebPanel::IsPersisted(IUnknown* object) {
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_IUnknown, identity.put_void());
    std::lock_guard lock(mutex_);
    for (const auto& [name, kept] : persisted_) {
        if (kept.As<IUnknown>() == identity) return true;
    }
    return false;
}

HRESULT WebPanel::OnPageThread(const std::function<HRESULT()>& work) {
    if (brevanto::CurrentThreadId() == page_thread_) return work();
    auto apartment = brevanto::Apartment::OfThread(page_thread_);
    if (!apartment) return RPC_E_DISCONNECTED;
    return apartment->Execute(work);
}

void WebPanel::Send(const char* name, const std::string& parameter) {
    struct Message {
        WebPanel* panel;
        std::string name;
        std::string parameter;
    };
    auto* message = new Message{this, name, parameter};
    // Queued on the page's thread: a script that navigates or closes finishes its call first.
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* m = static_cast<Message*>(data);
            if (m->name == kMessageClose) m->panel->ShutDown();
            if (m->panel->page_) {
                GVariant* parameter = g_variant_new_string(m->parameter.c_str());
                webkit_web_page_send_message_to_view(
                    m->panel->page_, webkit_user_message_new(m->name.c_str(), parameter), nullptr,
                    nullptr, nullptr);
            }
            return G_SOURCE_REMOVE;
        },
        message, [](gpointer data) { delete static_cast<Message*>(data); });
}

void WebPanel::RequestPage(const std::string& page) {
    Send(kMessageGoToPage, page);
}

void WebPanel::RequestRestart() {
    Send(kMessageRestart, "");
}

void WebPanel::RequestClose() {
    Send(kMessageClose, "");
}

std::filesystem::path WebPanel::PageDirectory() {
    const char* uri = page_ ? webkit_web_page_get_uri(page_) : nullptr;
    char* path = uri ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
    std::filesystem::path dir =
        path ? std::filesystem::path(path).parent_path() : settings_.data_dir;
    g_free(path);
    return dir;
}

HRESULT WebPanel::LoadScript(const std::u16string& id, const std::u16string& file, LONG* result) {
    return OnPageThread([&]() -> HRESULT {
        if (result) *result = 0;
        JscBridge* bridge = context_ ? JscBridge::Of(context_) : nullptr;
        if (!bridge) return E_FAIL;
        std::filesystem::path path = Utf16ToUtf8(file);
        if (path.is_relative()) path = PageDirectory() / path;
        std::vector<std::string> before = bridge->GlobalNames();
        ScriptError error;
        const bool ok = bridge->RunFile(path.string(), &error);
        std::vector<std::string> added;
        for (const std::string& name : bridge->GlobalNames()) {
            if (std::find(before.begin(), before.end(), name) == before.end())
                added.push_back(name);
        }
        {
            std::lock_guard lock(mutex_);
            auto& names = loaded_scripts_[id];
            names.insert(names.end(), added.begin(), added.end());
        }
        if (!ok) {
            // As with a script element that fails: said, and the page goes on.
            ReportError(error, false);
            return E_FAIL;
        }
        if (result) *result = 1;
        return S_OK;
    });
}

HRESULT WebPanel::RemoveScript(const std::u16string& id) {
    return OnPageThread([&]() -> HRESULT {
        std::vector<std::string> names;
        {
            std::lock_guard lock(mutex_);
            auto found = loaded_scripts_.find(id);
            if (found == loaded_scripts_.end()) return S_FALSE;
            names = std::move(found->second);
            loaded_scripts_.erase(found);
        }
        if (JscBridge* bridge = context_ ? JscBridge::Of(context_) : nullptr) {
            for (const std::string& name : names)
                bridge->DeleteGlobal(name);
        }
        return S_OK;
    });
}

HRESULT WebPanel::GetScript(const std::u16string& name, IDispatch** script) {
    if (!script) return E_POINTER;
    *script = nullptr;
    if (name != u" hidden script") return S_FALSE;
    return PageObject("__hiddenScript", script);
}

HRESULT WebPanel::PageObject(const char* name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    return OnPageThread([&]() -> HRESULT {
        JscBridge* bridge = context_ ? JscBridge::Of(context_) : nullptr;
        return bridge ? bridge->GlobalObject(name, object) : E_FAIL;
    });
}

HRESULT WebPanel::Persist(const std::u16string& name, IDispatch* object) {
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

HRESULT WebPanel::UnPersist(const std::u16string& name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    std::lock_guard lock(mutex_);
    auto found = persisted_.find(name);
    if (found == persisted_.end()) return S_FALSE;
    *object = found->second.get();
    if (*object) (*object)->AddRef();
    return S_OK;
}

HRESULT WebPanel::Version(IDispatch** version) {
    if (!version) return E_POINTER;
    *version = nullptr;
    return OnPageThread([&]() -> HRESULT {
        JscBridge* bridge = context_ ? JscBridge::Of(context_) : nullptr;
        if (!bridge) return E_FAIL;
        char engine[64];
        std::snprintf(engine, sizeof engine, "JavaScriptCore %u.%u.%u", jsc_get_major_version(),
                      jsc_get_minor_version(), jsc_get_micro_version());
        CComVariant value;
        HRESULT hr = bridge->Evaluate(std::string("({ Library: '" BREVANTO_VERSION
                                                  "', Panel: '" BREVANTO_VERSION "', Engine: '") +
                                          engine + "' })",
                                      &value);
        if (FAILED(hr)) return hr;
        if (value.vt != VT_DISPATCH) return E_FAIL;
        *version = value.pdispVal;
        value.vt = VT_EMPTY;
        return S_OK;
    });
}

}  // namespace brevanto_panel
