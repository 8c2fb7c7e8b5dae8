// The panel host: runs page scripts on one script thread (a single-threaded apartment with a
// message pump) against the object library's Global, and ends on Global.Close(), an uncaught
// error of a page's own scripts or a time-out. Errors of callbacks (event handlers, filter
// callbacks, timers) are reported and the page goes on.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/bridge/library_module.h"
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

class PageHost {
  public:
    explicit PageHost(HostOptions options);
    ~PageHost();
    PageHost(const PageHost&) = delete;
    PageHost& operator=(const PageHost&) = delete;

    // Runs the pages on the calling thread until they end; returns the exit status.
    int Run();

    // ---- What the host application object asks for (any thread) ----
    void Log(const std::string& text);
    void RequestClose();
    void RequestRestart();
    // The network's requests (the registered messages): start over with a fresh Global, or end
    // in order with status 0.
    void RequestAppRestart();
    void RequestShutDown();
    void RequestPage(const std::filesystem::path& page);
    HRESULT LoadScript(const std::u16string& id, const std::u16string& file, LONG* result);
    HRESULT RemoveScript(const std::u16string& id);
    HRESULT GetScript(const std::u16string& name, IDispatch** script);
    HRESULT Persist(const std::u16string& name, IDispatch* object);
    HRESULT UnPersist(const std::u16string& name, IDispatch** object);
    bool IsPersisted(IUnknown* object);
    HRESULT Version(IDispatch** version);
    HRESULT PageObject(const char* name, IDispatch** object);
    const HostOptions& options() const { return options_; }

  private:
    enum class Action { kNone, kClose, kExitForRestart, kRestart, kRestartApp, kGoToPage };
    struct PageScript {
        std::filesystem::path file;
        std::string text;
    };

    // Runs work on the script thread, synchronously (directly when already there).
    HRESULT OnScriptThread(const std::function<HRESULT()>& work);
    // Reads a page's scripts before the current page is left: a page that cannot be read
    // leaves the panel where it is.
    static bool ReadPage(const std::vector<std::filesystem::path>& files,
                         std::vector<PageScript>* scripts, ScriptError* error);
    // A fresh engine with the page globals, then the scripts in order.
    bool StartPage(const std::vector<PageScript>& scripts, ScriptError* error);
    // Ends the page: what it registered through its data context, then its engine (whose
    // finalizers let go of the library objects its scripts held), then the reference cycles
    // of the objects it made or let out of the persistence store.
    void EndPage();
    // Empties the persistence store (at exit).
    std::vector<ComPtr<IUnknown>> TakePersisted();
    // Breaks the cycles of objects that are not (or no longer) persisted.
    void DestroyUnlessPersisted(std::vector<ComPtr<IUnknown>> objects);
    HRESULT CreateForPage(const std::u16string& prog_id, IDispatch** object, std::string* refusal);
    void Request(Action action);
    void ReportError(const ScriptError& error);
    bool StartLibrary();
    // Without pages on the command line: the page the configuration names as "StartPage", a
    // file of the data directory.
    bool FindStartPage();
    // Creates, attaches and starts a Global; false when the panel cannot go on.
    bool StartGlobal();
    // Shuts the Global down (the pages have ended).
    void StopGlobal();

    HostOptions options_;
    std::atomic<unsigned long> script_thread_ = 0;
    LibraryModule module_;
    ComPtr<IDispatch> global_;      // the root object
    CLSID global_class_{};          // pages may not make another one
    ComPtr<IUnknown> application_;  // this host as the library sees it
    ComPtr<IDataContext> context_;  // the current page's Global.ReadOnly
    std::unique_ptr<ScriptEngine> engine_;
    std::vector<std::filesystem::path> current_scripts_;

    std::mutex mutex_;  // guards the requests and the persisted objects
    Action action_ = Action::kNone;
    std::filesystem::path next_page_;
    std::map<std::u16string, ComPtr<IDispatch>> persisted_;
    // Objects the page created, and objects that left the persistence store meanwhile (replaced
    // or un-persisted): their reference cycles (a packet filter and its native filter) are
    // broken once the page's scripts are gone, unless they are persisted by then.
    std::vector<ComPtr<IUnknown>> page_objects_;
    std::map<std::u16string, std::vector<std::string>> loaded_scripts_;  // id -> globals it made
    std::mutex log_mutex_;
    SerialMapping serial_mapping_;
    int listeners_[2] = {0, 0};
};

}  // namespace brevanto_host
