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
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/bridge/library_module.h"
#include "host/bridge/local_time.h"
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

class WebPanel {
  public:
    WebPanel(WebKitWebExtension* extension, WebPanelSettings settings);
    ~WebPanel();
    WebPanel(const WebPanel&) = delete;
    WebPanel& operator=(const WebPanel&) = delete;

    // ---- What the host application object asks for (any thread) ----
    void Log(const std::string& text);
    HRESULT LoadScript(const std::u16string& id, const std::u16string& file, LONG* result);
    HRESULT RemoveScript(const std::u16string& id);
    HRESULT GetScript(const std::u16string& name, IDispatch** script);
    HRESULT PageObject(const char* name, IDispatch** object);
    HRESULT Persist(const std::u16string& name, IDispatch* object);
    HRESULT UnPersist(const std::u16string& name, IDispatch** object);
    HRESULT Version(IDispatch** version);
    // Navigation and closing go to the application, after the current script call.
    void RequestPage(const std::string& page);
    void RequestRestart();
    void RequestClose();
    const WebPanelSettings& settings() const { return settings_; }

  private:
    static void OnPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer self);
    static void OnWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page,
                                      WebKitFrame* frame, gpointer self);
    static gboolean OnMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer self);

    bool StartLibrary(std::string* error);
    bool StartGlobal(std::string* error);
    void StopGlobal();
    std::string StartPageSetting();
    void StartPage(WebKitFrame* frame, WebKitScriptWorld* world);
    void EndPage();
    // Ends the page and the library (before the application ends).
    void ShutDown();
    void ReportError(const ScriptError& error, bool initial);
    HRESULT CreateForPage(const std::u16string& prog_id, IDispatch** object, std::string* refusal);
    void DestroyUnlessPersisted(std::vector<ComPtr<IUnknown>> objects);
    bool IsPersisted(IUnknown* object);
    // Runs work on the page's thread and waits for it (directly when already there).
    HRESULT OnPageThread(const std::function<HRESULT()>& work);
    // Sends a message to the application from the page's thread, after the current call.
    void Send(const char* name, const std::string& parameter);
    // The directory relative names of the current page are taken from.
    std::filesystem::path PageDirectory();

    WebKitWebExtension* extension_;
    WebPanelSettings settings_;
    unsigned long page_thread_ = 0;
    std::unique_ptr<ApartmentSource> pump_;
    brevanto_host::LibraryModule module_;
    brevanto_host::SerialMapping serial_mapping_;
    CLSID global_class_{};
    ComPtr<IDispatch> global_;
    ComPtr<IUnknown> application_;
    WebKitWebPage* page_ = nullptr;
    JSCContext* context_ = nullptr;  // the current page's script context (one reference)
    ComPtr<IDataContext> data_context_;
    bool shut_down_ = false;
    int listener_ = 0;

    std::mutex mutex_;  // the persisted and page objects (the library persists from any thread)
    std::map<std::u16string, ComPtr<IDispatch>> persisted_;
    std::vector<ComPtr<IUnknown>> page_objects_;
    std::map<std::u16string, std::vector<std::string>> loaded_scripts_;  // id -> its globals
    std::mutex log_mutex_;
};

}  // namespace brevanto_panel
