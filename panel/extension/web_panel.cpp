#include "panel/extension/web_panel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "host/bridge/host_application.h"
#include "host/bridge/page_scripts.h"
#include "panel/extension/script_object.h"
#include "panel/protocol.h"
#include "platform/clock.h"

namespace brevanto_panel {

namespace {

// The panel clock's offset from the system clock, in milliseconds (for the page's Date).
double PanelClockOffset(gpointer) {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(WallClockOffset()).count());
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
    panel->Send(kMessageReady, panel->site_.StartPageSetting());
}

gboolean WebPanel::OnMessage(WebKitWebPage*, WebKitUserMessage* message, gpointer self) {
    auto* panel = static_cast<WebPanel*>(self);
    const std::string name = webkit_user_message_get_name(message);
    if (name == kMessageStartOver) {
        panel->StartOver();
        return TRUE;
    }
    if (name != kMessageShutDown) return FALSE;
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
    if (!EnterApartment(error)) return false;
    library_started_ = true;
    serial_mapping_.Apply(settings_.serial);
    std::filesystem::path file = settings_.module_file.empty()
                                     ? brevanto_host::LibraryModule::DefaultFile()
                                     : settings_.module_file;
    if (!site_.LoadModule(file, error)) return false;
    const UINT restart = RegisterWindowMessageW(kRestartAppMessageName);
    const UINT shut_down = RegisterWindowMessageW(kShutdownNicelyMessageName);
    listener_ =
        AddMessageListener([this, restart, shut_down](UINT message, std::uintptr_t, std::intptr_t) {
            if (message == shut_down) {
                Log("brevanto-panel: shut-down requested by the network");
                RequestClose();
            } else if (message == restart) {
                // The application decides: start over here, or end for a service manager.
                Send(kMessageRestartRequested, "");
            }
        });
    return StartGlobal(error);
}

bool WebPanel::EnterApartment(std::string* error) {
    if (!site_.EnterApartment()) {
        *error = "cannot enter a single-threaded apartment";
        return false;
    }
    pump_ = std::make_unique<ApartmentSource>();
    return true;
}

bool WebPanel::StartGlobal(std::string* error) {
    brevanto_host::ApplicationProfile profile;
    profile.data_dir = settings_.data_dir;
    profile.clock = settings_.clock;
    profile.calibrate_note = "Calibrate: accepted; the touch screen is calibrated by the system";
    profile.network =
        brevanto_host::MachineNetworkSettings([this](const std::string& text) { Log(text); });
    ComPtr<brevanto_host::CHostApplication> application;
    if (FAILED(MakeComObject(&application, &site_, std::move(profile)))) {
        *error = "out of memory";
        return false;
    }
    return site_.StartGlobal(static_cast<IHxApplication*>(application.get()), error) ==
           brevanto_host::PageSite::GlobalStart::kStarted;
}

void WebPanel::StartPage(WebKitFrame* frame, WebKitScriptWorld* world) {
    context_ = webkit_frame_get_js_context_for_script_world(frame, world);
    PageServices services;
    services.create = [this](const std::u16string& prog_id, IDispatch** object,
                             std::string* refusal) {
        return site_.CreateForPage(prog_id, object, refusal);
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
    if (ComPtr<IDispatch> global = site_.BeginPage())
        bridge->SetGlobal("Global", CComVariant(global.get()));
}

void WebPanel::EndPage() {
    site_.EndPage([this] {
        if (!context_) return;
        if (JscBridge* bridge = Bridge()) bridge->End();
        g_object_unref(context_);
        context_ = nullptr;
    });
}

void WebPanel::ShutDown() {
    if (shut_down_ || !library_started_) return;
    shut_down_ = true;
    EndPage();
    if (listener_) RemoveMessageListener(listener_);
    listener_ = 0;
    StopGlobal();
    serial_mapping_.Restore();
}

void WebPanel::StopGlobal() {
    // The source watches the apartment's descriptor, which goes with the apartment.
    pump_.reset();
    site_.StopGlobal();
}

void WebPanel::StartOver() {
    if (shut_down_ || !library_started_) return;
    // The module, the port mapping and the network's listener stay; the rest is new, as if the
    // web process had started again.
    EndPage();
    StopGlobal();
    std::string error;
    if (!EnterApartment(&error) || !StartGlobal(&error)) {
        Send(kMessageFailed, error);
        return;
    }
    Send(kMessageReady, site_.StartPageSetting());
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

bool WebPanel::RunRemovableFile(const std::filesystem::path& file, ScriptError* error) {
    return Bridge()->RunFile(file.string(), error);
}

std::vector<std::string> WebPanel::GlobalNames() {
    return Bridge()->GlobalNames();
}

void WebPanel::DeleteGlobal(const std::string& name) {
    Bridge()->DeleteGlobal(name);
}

HRESULT WebPanel::GlobalObject(const char* name, IDispatch** object) {
    return Bridge()->GlobalObject(name, object);
}

HRESULT WebPanel::Evaluate(const std::string& expression, VARIANT* result) {
    return Bridge()->Evaluate(expression, result);
}

std::string WebPanel::EngineNameExpression() {
    char engine[64];
    std::snprintf(engine, sizeof engine, "'JavaScriptCore %u.%u.%u'", jsc_get_major_version(),
                  jsc_get_minor_version(), jsc_get_micro_version());
    return engine;
}

}  // namespace brevanto_panel
