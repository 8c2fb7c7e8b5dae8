#include "host/page_host.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>

#include "host/bridge/host_application.h"
#include "host/bridge/page_scripts.h"
#include "platform/clock.h"

namespace brevanto_host {

namespace {

// The page's document: this host shows no HTML.
constexpr const char* kDocumentSetup = "var document = { title: '', URL: '' };";

// The panel clock's offset from the system clock, in milliseconds.
duk_ret_t PanelClockOffset(duk_context* ctx) {
    duk_push_number(
        ctx, static_cast<double>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(WallClockOffset()).count()));
    return 1;
}

}  // namespace

PageHost::PageHost(HostOptions options) : options_(std::move(options)) {}

PageHost::~PageHost() = default;

void PageHost::Log(const std::string& text) {
    if (options_.quiet) return;
    std::lock_guard lock(log_mutex_);
    if (options_.output) {
        options_.output(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PageHost::ReportError(const ScriptError& error) {
    std::lock_guard lock(log_mutex_);
    std::fflush(stdout);
    std::fprintf(stderr, "brevanto-host: %s\n", error.Describe().c_str());
    std::fflush(stderr);
}

void PageHost::Request(Action action) {
    {
        std::lock_guard lock(mutex_);
        // Ending the process wins over everything.
        if (action_ != Action::kClose && action_ != Action::kExitForRestart) action_ = action;
    }
    CoPostQuit(script_thread_);
}

void PageHost::RequestClose() {
    Request(Action::kClose);
}

void PageHost::RequestRestart() {
    Request(Action::kRestart);
}

void PageHost::RequestAppRestart() {
    if (options_.exit_on_restart) {
        Log("brevanto-host: restart requested by the network: the panel ends to be started "
            "again");
        Request(Action::kExitForRestart);
        return;
    }
    Log("brevanto-host: restart requested by the network: the pages start again with a fresh "
        "Global");
    Request(Action::kRestartApp);
}

void PageHost::RequestShutDown() {
    Log("brevanto-host: shut-down requested by the network");
    Request(Action::kClose);
}

void PageHost::RequestPage(const std::string& page) {
    {
        std::lock_guard lock(mutex_);
        next_page_ = page;
    }
    Request(Action::kGoToPage);
}

bool PageHost::StartLibrary() {
    std::string error;
    std::filesystem::path file =
        options_.module_file.empty() ? LibraryModule::DefaultFile() : options_.module_file;
    if (!site_.LoadModule(file, &error)) {
        std::fprintf(stderr, "brevanto-host: %s\n", error.c_str());
        return false;
    }
    return StartGlobal();
}

bool PageHost::StartGlobal() {
    ApplicationProfile profile;
    profile.data_dir = options_.data_dir;
    profile.clock = {options_.own_clock, options_.allow_clock};
    profile.calibrate_note = "Calibrate: no touch screen on this host";
    profile.network = StoredNetworkSettings();
    ComPtr<CHostApplication> application;
    if (FAILED(MakeComObject(&application, &site_, std::move(profile)))) return false;
    std::string error;
    switch (site_.StartGlobal(static_cast<IHxApplication*>(application.get()), &error)) {
        case PageSite::GlobalStart::kStarted:
            return true;
        case PageSite::GlobalStart::kUnavailable:
            std::fprintf(stderr, "brevanto-host: %s\n", error.c_str());
            return true;  // pages still run, without Global
        case PageSite::GlobalStart::kFailed:
            break;
    }
    std::fprintf(stderr, "brevanto-host: %s\n", error.c_str());
    return false;
}

bool PageHost::FindStartPage() {
    const std::string page = site_.StartPageSetting();
    if (page.empty()) {
        std::fprintf(stderr,
                     "brevanto-host: no page to run: %s/Config.xml names no StartPage, and no "
                     "page was given\n",
                     options_.data_dir.c_str());
        return false;
    }
    options_.scripts = {options_.data_dir / page};
    return true;
}

bool PageHost::ReadPage(const std::vector<std::filesystem::path>& files,
                        std::vector<PageScript>* scripts, ScriptError* error) {
    scripts->clear();
    for (const auto& file : files) {
        PageScript script{file, {}};
        if (!ReadScriptFile(file, &script.text, error)) return false;
        scripts->push_back(std::move(script));
    }
    return true;
}

bool PageHost::StartPage(const std::vector<PageScript>& scripts, ScriptError* error) {
    ScriptEngine::Callbacks callbacks;
    callbacks.log = [this](const std::string& text) { Log(text); };
    callbacks.create = [this](const std::u16string& prog_id, IDispatch** object,
                              std::string* refusal) {
        return site_.CreateForPage(prog_id, object, refusal);
    };
    callbacks.wake = [] { CoPostQuit(); };
    callbacks.report = [this](const ScriptError& error) { ReportError(error); };
    engine_ = std::make_unique<ScriptEngine>(std::move(callbacks));
    current_scripts_.clear();
    for (const auto& script : scripts)
        current_scripts_.push_back(script.file);
    if (!engine_->Run("<page setup>", std::string(kHiddenScriptSetup) + kDocumentSetup, error))
        return false;
    if (options_.own_clock) {
        duk_context* ctx = engine_->ctx();
        duk_push_c_function(ctx, PanelClockOffset, 0);
        duk_put_global_string(ctx, "__panelClockOffset");
        if (!engine_->Run(
                "<clock setup>",
                std::string(kClockSetup) + "(__panelClockOffset); delete this.__panelClockOffset;",
                error))
            return false;
    }
    if (ComPtr<IDispatch> global = site_.BeginPage()) engine_->SetGlobal("Global", global.get());
    for (const auto& script : scripts) {
        if (!engine_->Run(script.file.string(), script.text, error)) return false;
    }
    return true;
}

void PageHost::EndPage() {
    site_.EndPage([this] { engine_.reset(); });
}

int PageHost::Run() {
    if (!site_.EnterApartment()) {
        std::fprintf(stderr, "brevanto-host: cannot enter a single-threaded apartment\n");
        return kExitStartFailure;
    }
    script_thread_ = brevanto::CurrentThreadId();
    serial_mapping_.Apply(options_.serial);
    const UINT restart_message = RegisterWindowMessageW(kRestartAppMessageName);
    const UINT shutdown_message = RegisterWindowMessageW(kShutdownNicelyMessageName);
    listeners_[0] = AddMessageListener(
        [this, restart_message, shutdown_message](UINT message, std::uintptr_t, std::intptr_t) {
            if (message == restart_message) RequestAppRestart();
            if (message == shutdown_message) RequestShutDown();
        });

    using Clock = std::chrono::steady_clock;
    const auto deadline = options_.timeout_seconds > 0
                              ? Clock::now() + std::chrono::seconds(options_.timeout_seconds)
                              : Clock::time_point::max();
    int status = -1;
    ScriptError error;
    std::vector<PageScript> page;
    const bool start_page_configured = options_.scripts.empty();
    if (!StartLibrary() || (start_page_configured && !FindStartPage())) {
        status = kExitStartFailure;
    } else if (!ReadPage(options_.scripts, &page, &error) || !StartPage(page, &error)) {
        ReportError(error);
        status = kExitScriptError;
    }
    while (status < 0) {
        // Closing, switching pages and the time-out come before anything the page does.
        Action action;
        std::filesystem::path next_page;
        {
            std::lock_guard lock(mutex_);
            action = std::exchange(action_, Action::kNone);
            next_page = next_page_;
        }
        if (action == Action::kClose || action == Action::kExitForRestart) {
            status = action == Action::kClose ? kExitClosed : kExitRestartRequested;
            break;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            std::fprintf(stderr, "brevanto-host: time-out after %d s without Global.Close()\n",
                         options_.timeout_seconds);
            status = kExitTimeout;
            break;
        }
        if (action == Action::kRestartApp) {
            // As if the panel program had started again: nothing of the old Global and its
            // pages, the persisted objects included, is kept, and the fresh Global's
            // configuration names the start page.
            EndPage();
            site_.StopGlobal();
            if (!site_.EnterApartment() || !StartGlobal() ||
                (start_page_configured && !FindStartPage())) {
                status = kExitStartFailure;
            } else if (!ReadPage(options_.scripts, &page, &error) || !StartPage(page, &error)) {
                ReportError(error);
                status = kExitScriptError;
            }
            page.clear();
            continue;
        }
        if (action == Action::kRestart || action == Action::kGoToPage) {
            std::vector<std::filesystem::path> files = options_.scripts;
            if (action == Action::kGoToPage) {
                if (next_page.is_relative()) next_page = PageDirectory() / next_page;
                files = {next_page};
            }
            if (!ReadPage(files, &page, &error)) {
                error.message += " (the panel stays on the current page)";
                ReportError(error);
                continue;
            }
            EndPage();
            if (!StartPage(page, &error)) {
                ReportError(error);
                status = kExitScriptError;
            }
            page.clear();
            continue;
        }
        const int next_timer = engine_->RunTimers();
        long long wait =
            deadline == Clock::time_point::max()
                ? -1
                : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (next_timer >= 0 && (wait < 0 || next_timer < wait)) wait = next_timer;
        CoPumpMessages(static_cast<int>(std::min<long long>(wait, INT_MAX)));
    }

    EndPage();
    RemoveMessageListener(listeners_[0]);
    site_.StopGlobal();
    serial_mapping_.Restore();
    return status;
}

std::filesystem::path PageHost::PageDirectory() {
    return current_scripts_.empty() ? std::filesystem::path()
                                    : current_scripts_.back().parent_path();
}

bool PageHost::RunRemovableFile(const std::filesystem::path& file, ScriptError* error) {
    return engine_->RunFile(file, error, /*removable=*/true);
}

void PageHost::Report(const ScriptError& error) {
    engine_->Report(error);
}

std::vector<std::string> PageHost::GlobalNames() {
    return engine_->GlobalNames();
}

void PageHost::DeleteGlobal(const std::string& name) {
    engine_->DeleteGlobal(name);
}

HRESULT PageHost::GlobalObject(const char* name, IDispatch** object) {
    return engine_->GetGlobalObject(name, object);
}

HRESULT PageHost::Evaluate(const std::string& expression, VARIANT* result) {
    return engine_->Evaluate(expression, result);
}

std::string PageHost::EngineNameExpression() {
    return "'Duktape ' + Duktape.version";
}

}  // namespace brevanto_host
