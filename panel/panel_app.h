// brevanto-panel's application side: one borderless window with the page view, the start of
// the web process (which holds the library), navigation between the data directory's pages,
// and the end of the panel (Global.Close(), the time-out, a failed page when asked).
#pragma once

#include <webkit2/webkit2.h>

#include <filesystem>
#include <string>
#include <vector>

namespace brevanto_panel {

struct PanelOptions {
    std::filesystem::path data_dir = ".";
    std::string serial;
    std::filesystem::path module_file;
    std::filesystem::path extension_dir;
    std::string clock;  // --clock text, or empty
    bool allow_clock = false;
    int timeout_seconds = 0;  // 0: none
    std::filesystem::path screenshot;
    bool fullscreen = false;
    bool hide_cursor = false;
    bool exit_on_error = false;
    // The network's restart request ends the panel with kExitRestartRequested (a service manager
    // starts it again) instead of starting over with a fresh Global in the same web process.
    bool exit_on_restart = false;
    int width = 800;
    int height = 480;
    // The page to show instead of the configuration's start page: one HTML file, or scripts
    // that run in order in an empty page.
    std::vector<std::filesystem::path> page;
};

// Exit statuses, as brevanto-host's.
inline constexpr int kExitClosed = 0;
inline constexpr int kExitPageError = 1;
inline constexpr int kExitTimeout = 2;
inline constexpr int kExitStartFailure = 3;
inline constexpr int kExitRestartRequested = 4;

// The HTML of a page made of scripts: each script runs, in order, from its own file (so errors
// name the file and line).
std::string ScriptPageHtml(const std::vector<std::filesystem::path>& scripts);

class PanelApp {
  public:
    explicit PanelApp(PanelOptions options);
    ~PanelApp();
    PanelApp(const PanelApp&) = delete;
    PanelApp& operator=(const PanelApp&) = delete;

    // Runs until the panel ends; returns the exit status.
    int Run();

  private:
    static void OnInitializeExtensions(WebKitWebContext* context, gpointer self);
    static gboolean OnMessage(WebKitWebView* view, WebKitUserMessage* message, gpointer self);
    static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
    static void OnWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason,
                                       gpointer self);
    static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);

    // Shows a page (relative names from `base`); false, saying why, when it cannot be shown.
    bool Show(std::vector<std::filesystem::path> files, const std::filesystem::path& base);
    void ShowStartPage();
    // The network's restart request: the page ends (a blank page replaces it), then the web
    // process starts over with a fresh Global and reports the start page as at the start.
    void StartOver();
    // Ends the panel with `status`: the web process shuts the library down first.
    void End(int status);
    void Quit();
    void TakeScreenshot();

    PanelOptions options_;
    GMainLoop* loop_ = nullptr;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    std::string start_page_;  // from the configuration
    std::filesystem::path current_dir_;
    int status_ = -1;
    bool ending_ = false;
    bool screenshot_taken_ = false;
    bool starting_over_ = false;  // the blank page is on its way
};

}  // namespace brevanto_panel
