// The library inside the web process: one Global for the life of the panel, handed the host
// application and started once; on every page load the page's main world gets `Global` (the
// page's own Global.ReadOnly data context), `ActiveXObject`, `Enumerator` and `VBArray`. When
// the page goes, what it registered through its context goes with it.
//
// The web process's main thread is the page's single-threaded apartment; its queue is pumped
// by the GLib main loop, so the library's worker threads reach page script there.
#pragma once

#include <webkit2/webkit-web-extension.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/bridge/library_module.h"
#include "host/bridge/local_time.h"
#include "host/bridge/page_site.h"
#include "host/bridge/serial_mapping.h"
#include "interfaces/dispatch.h"
#include "panel/extension/apartment_source.h"
#include "panel/extension/jsc_bridge.h"

namespace brevanto_panel {

struct WebPanelSettings {
    std::filesystem::path data_dir = ".";
    std::string serial;
    std::filesystem::path module_file;
    brevanto_host::LocalTimePolicy clock;
};

class WebPanel final : public brevanto_host::PageSite::Host {
  public:
    WebPanel(WebKitWebExtension* extension, WebPanelSettings settings);
    ~WebPanel();
    WebPanel(const WebPanel&) = delete;
    WebPanel& operator=(const WebPanel&) = delete;

    // ---- PageSite::Host: what the panel does for the page site ----
    void Log(const std::string& text) override;
    // Navigation and closing go to the application, after the current script call.
    void RequestPage(const std::string& page) override;
    void RequestRestart() override;
    void RequestClose() override;
    bool HasPage() override { return Bridge() != nullptr; }
    std::filesystem::path PageDirectory() override;
    bool RunRemovableFile(const std::filesystem::path& file, ScriptError* error) override;
    void Report(const ScriptError& error) override { ReportError(error, false); }
    std::vector<std::string> GlobalNames() override;
    void DeleteGlobal(const std::string& name) override;
    HRESULT GlobalObject(const char* name, IDispatch** object) override;
    HRESULT Evaluate(const std::string& expression, VARIANT* result) override;
    std::string EngineNameExpression() override;

  private:
    static void OnPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer self);
    static void OnWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page,
                                      WebKitFrame* frame, gpointer self);
    static gboolean OnMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer self);

    bool StartLibrary(std::string* error);
    // The page's thread in a fresh apartment, pumped by the main loop.
    bool EnterApartment(std::string* error);
    // Creates a Global with a new host application object and starts it.
    bool StartGlobal(std::string* error);
    // The persisted objects and the Global go, outside the page's apartment.
    void StopGlobal();
    void StartPage(WebKitFrame* frame, WebKitScriptWorld* world);
    void EndPage();
    // Ends the page and the library (before the application ends).
    void ShutDown();
    // The network's restart: the page ends, and a fresh Global starts in a fresh apartment.
    void StartOver();
    void ReportError(const ScriptError& error, bool initial);
    // Sends a message to the application from the page's thread, after the current call.
    void Send(const char* name, const std::string& parameter);
    // The current page's bridge, or null between pages.
    JscBridge* Bridge() const { return context_ ? JscBridge::Of(context_) : nullptr; }

    WebKitWebExtension* extension_;
    WebPanelSettings settings_;
    bool library_started_ = false;
    std::unique_ptr<ApartmentSource> pump_;
    brevanto_host::PageSite site_{*this, "Panel"};
    brevanto_host::SerialMapping serial_mapping_;
    WebKitWebPage* page_ = nullptr;
    JSCContext* context_ = nullptr;  // the current page's script context (one reference)
    bool shut_down_ = false;
    int listener_ = 0;
    std::mutex log_mutex_;
};

}  // namespace brevanto_panel
