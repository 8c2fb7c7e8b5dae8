// The panel host: runs page scripts on one script thread (a single-threaded apartment with a
// message pump) against the object library's Global, and ends on Global.Close(), an uncaught
// error of a page's own scripts or a time-out. Errors of callbacks (event handlers, filter
// callbacks, timers) are reported and the page goes on.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/bridge/library_module.h"
#include "host/bridge/page_site.h"
#include "host/bridge/serial_mapping.h"
#include "host/script_engine.h"
#include "interfaces/dispatch.h"

namespace brevanto_host {

struct HostOptions {
    std::filesystem::path data_dir = ".";
    bool data_given = false;  // --data: without pages, the configuration's "StartPage" runs
    std::string serial;       // device path for the port of "Port0"; empty: unchanged
    int timeout_seconds = 0;  // 0: no time-out
    bool quiet = false;
    bool allow_clock = false;
    bool own_clock = false;  // --clock: the panel's clock runs apart from the system's
    // The network's restart request ends the host with kExitRestartRequested (a service manager
    // starts it again) instead of starting the pages again in this process.
    bool exit_on_restart = false;
    std::filesystem::path module_file;  // empty: LibraryModule::DefaultFile()
    std::vector<std::filesystem::path> scripts;
    // Where the host's log lines go; unset: standard output.
    std::function<void(const std::string&)> output;
};

// Exit statuses of a run.
inline constexpr int kExitClosed = 0;
inline constexpr int kExitScriptError = 1;
inline constexpr int kExitTimeout = 2;
inline constexpr int kExitStartFailure = 3;
inline constexpr int kExitRestartRequested = 4;
inline constexpr int kExitUsage = 64;  // as sysexits' EX_USAGE

class PageHost final : public PageSite::Host {
  public:
    explicit PageHost(HostOptions options);
    ~PageHost();
    PageHost(const PageHost&) = delete;
    PageHost& operator=(const PageHost&) = delete;

    // Runs the pages on the calling thread until they end; returns the exit status.
    int Run();

    // ---- PageSite::Host: what the host program does for the page site ----
    void Log(const std::string& text) override;
    void RequestPage(const std::string& page) override;
    void RequestRestart() override;
    void RequestClose() override;
    bool HasPage() override { return engine_ != nullptr; }
    std::filesystem::path PageDirectory() override;
    bool RunRemovableFile(const std::filesystem::path& file, ScriptError* error) override;
    void Report(const ScriptError& error) override;
    std::vector<std::string> GlobalNames() override;
    void DeleteGlobal(const std::string& name) override;
    HRESULT GlobalObject(const char* name, IDispatch** object) override;
    HRESULT Evaluate(const std::string& expression, VARIANT* result) override;
    std::string EngineNameExpression() override;

    // The network's requests (the registered messages): start over with a fresh Global, or end
    // in order with status 0.
    void RequestAppRestart();
    void RequestShutDown();

  private:
    enum class Action { kNone, kClose, kExitForRestart, kRestart, kRestartApp, kGoToPage };
    struct PageScript {
        std::filesystem::path file;
        std::string text;
    };

    // Reads a page's scripts before the current page is left: a page that cannot be read
    // leaves the panel where it is.
    static bool ReadPage(const std::vector<std::filesystem::path>& files,
                         std::vector<PageScript>* scripts, ScriptError* error);
    // A fresh engine with the page globals, then the scripts in order.
    bool StartPage(const std::vector<PageScript>& scripts, ScriptError* error);
    void EndPage();
    void Request(Action action);
    void ReportError(const ScriptError& error);
    bool StartLibrary();
    // Without pages on the command line: the page the configuration names as "StartPage", a
    // file of the data directory.
    bool FindStartPage();
    // Creates, attaches and starts a Global; false when the panel cannot go on.
    bool StartGlobal();

    HostOptions options_;
    std::atomic<unsigned long> script_thread_ = 0;
    PageSite site_{*this, "Host"};
    std::unique_ptr<ScriptEngine> engine_;
    std::vector<std::filesystem::path> current_scripts_;

    std::mutex mutex_;  // guards the requests
    Action action_ = Action::kNone;
    std::filesystem::path next_page_;
    std::mutex log_mutex_;
    SerialMapping serial_mapping_;
    int listeners_[2] = {0, 0};
};

}  // namespace brevanto_host
