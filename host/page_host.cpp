#include "host/page_host.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <iostream>

#include "host/bridge/page_scripts.h"
#include "host/host_application.h"
#include "host/script_object.h"
#include "interfaces/global.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "platform/version.h"

namespace brevanto_host {

namespace {

constexpr const char16_t* kGlobalClass = u"Brevanto.Global";

// The page's document: this host shows no HTML.
constexpr const char* kDocumentSetup = "var document = { title: '', URL: '' };";

// The panel clock's offset from the system clock, in milliseconds.
duk_ret_t PanelClockOffset(duk_context* ctx) {
    duk_push_number(
        ctx, static_cast<double>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(WallClockOffset()).count()));
    return 1;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
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

void PageHost::RequestPage(const std::filesystem::path& page) {
    {
        std::lock_guard lock(mutex_);
        next_page_ = page;
    }
    Request(Action::kGoToPage);
}

HRESULT PageHost::OnScriptThread(const std::function<HRESULT()>& work) {
    if (brevanto::CurrentThreadId() == script_thread_) return work();
    auto apartment = brevanto::Apartment::OfThread(script_thread_);
    if (!apartment) return RPC_E_DISCONNECTED;
    return apartment->Execute(work);
}

bool PageHost::StartLibrary() {
    std::string error;
    std::filesystem::path file =
        options_.module_file.empty() ? LibraryModule::DefaultFile() : options_.module_file;
    if (!module_.Load(file, &error)) {
        std::fprintf(stderr, "brevanto-host: %s\n", error.c_str());
        return false;
    }
    CLSIDFromProgID(kGlobalClass, &global_class_);
    return StartGlobal();
}

bool PageHost::StartGlobal() {
    HRESULT hr = module_.Create(kGlobalClass, global_.put());
    if (FAILED(hr)) {
        std::fprintf(stderr, "brevanto-host: Brevanto.Global is not available (%s)\n",
                     Hex(hr).c_str());
        return true;  // pages still run, without Global
    }
    ComPtr<CHostApplication> application;
    if (FAILED(hr = MakeComObject(&application, this))) return false;
    application_ = static_cast<IHxApplication*>(application.get());
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    if (!root) {
        std::fprintf(stderr, "brevanto-host: Brevanto.Global does not answer IGlobal\n");
        return false;
    }
    if (FAILED(hr = root->SetApplication(application_.get())) || FAILED(hr = root->Start())) {
        std::fprintf(stderr, "brevanto-host: starting Global failed (%s)\n", Hex(hr).c_str());
        return false;
    }
    return true;
}

bool PageHost::FindStartPage() {
    ComPtr<IGlobal> root = global_.As<IGlobal>();
    ComPtr<IDispatch> config;
    CComVariant page;
    if (root && SUCCEEDED(root->get_Config(config.put())) && config) {
        LPOLESTR name = const_cast<LPOLESTR>(u"StartPage");
        DISPID id = DISPID_UNKNOWN;
        DISPPARAMS none{};
        if (SUCCEEDED(config->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)))
            config->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &page, nullptr, nullptr);
    }
    if (page.vt != VT_BSTR || SysStringLen(page.bstrVal) == 0) {
        std::fprintf(stderr,
                     "brevanto-host: no page to run: %s/Config.xml names no StartPage, and no "
                     "page was given\n",
                     options_.data_dir.c_str());
        return false;
    }
    options_.scripts = {options_.data_dir / Utf16ToUtf8(page.bstrVal)};
    return true;
}

HRESULT PageHost::CreateForPage(const std::u16string& prog_id, IDispatch** object,
                                std::string* refusal) {
    // The newest Global is the library's current one: a second one made by a page would cut
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

void PageHost::StopGlobal() {
    if (global_) {
        if (auto destroy = global_.As<IDestroy>()) destroy->Destroy();
        global_ = nullptr;
    }
    application_ = nullptr;
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
        return CreateForPage(prog_id, object, refusal);
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
    if (ComPtr<IGlobal> root = global_.As<IGlobal>()) {
        // The page works through a data context of its own, so that what it registers goes
        // away with it.
        ComPtr<IDispatch> read_only;
        HRESULT hr = root->get_ReadOnly(read_only.put());
        if (SUCCEEDED(hr)) context_ = read_only.As<IDataContext>();
        engine_->SetGlobal("Global", read_only ? read_only.get() : global_.get());
    }
    for (const auto& script : scripts) {
        if (!engine_->Run(script.file.string(), script.text, error)) return false;
    }
    return true;
}

void PageHost::EndPage() {
    if (context_) {
        // Removing the scripts the page loaded deletes their globals: the engine is still here.
        context_->DestroyDependantObjects();
        if (auto destroy = context_.As<IDestroy>()) destroy->Destroy();
        context_ = nullptr;
    }
    // The heap goes before the objects break their cycles: its finalizers release what the
    // scripts held (a filter's Callbacks collection lives inside the filter) while all of it
    // still exists.
    engine_.reset();
    std::vector<ComPtr<IUnknown>> objects;
    {
        std::lock_guard lock(mutex_);
        objects = std::move(page_objects_);
        page_objects_.clear();
        loaded_scripts_.clear();
    }
    DestroyUnlessPersisted(std::move(objects));
}

void PageHost::DestroyUnlessPersisted(std::vector<ComPtr<IUnknown>> objects) {
    std::vector<IUnknown*> done;
    for (auto& object : objects) {
        if (!object || std::find(done.begin(), done.end(), object.get()) != done.end()) continue;
        done.push_back(object.get());
        if (IsPersisted(object.get())) continue;
        if (auto destroy = object.As<IDestroy>()) destroy->Destroy();
    }
}

int PageHost::Run() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
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
    if (!StartLibrary() || (options_.scripts.empty() && !FindStartPage())) {
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
            // pages, the persisted objects included, is kept.
            if (!ReadPage(options_.scripts, &page, &error)) {
                error.message += " (the panel stays on the current page)";
                ReportError(error);
                continue;
            }
            EndPage();
            DestroyUnlessPersisted(TakePersisted());
            StopGlobal();
            if (!StartGlobal()) {
                status = kExitStartFailure;
            } else if (!StartPage(page, &error)) {
                ReportError(error);
                status = kExitScriptError;
            }
            page.clear();
            continue;
        }
        if (action == Action::kRestart || action == Action::kGoToPage) {
            std::vector<std::filesystem::path> files = options_.scripts;
            if (action == Action::kGoToPage) {
                if (next_page.is_relative() && !current_scripts_.empty())
                    next_page = current_scripts_.back().parent_path() / next_page;
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
    DestroyUnlessPersisted(TakePersisted());
    RemoveMessageListener(listeners_[0]);
    // Ending the apartment first fails the calls that workers still have queued for it, so
    // that shutting Global down never waits for a thread that waits for this one.
    CoUninitialize();
    StopGlobal();
    serial_mapping_.Restore();
    return status;
}

HRESULT PageHost::LoadScript(const std::u16string& id, const std::u16string& file, LONG* result) {
    return OnScriptThread([&]() -> HRESULT {
        if (result) *result = 0;
        if (!engine_) return E_FAIL;
        std::filesystem::path path = Utf16ToUtf8(file);
        if (path.is_relative() && !current_scripts_.empty())
            path = current_scripts_.back().parent_path() / path;
        std::vector<std::string> before = engine_->GlobalNames();
        ScriptError error;
        const bool ok = engine_->RunFile(path, &error, /*removable=*/true);
        std::vector<std::string> added;
        for (const std::string& name : engine_->GlobalNames()) {
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
            engine_->Report(error);
            return E_FAIL;
        }
        if (result) *result = 1;
        return S_OK;
    });
}

HRESULT PageHost::RemoveScript(const std::u16string& id) {
    return OnScriptThread([&]() -> HRESULT {
        std::vector<std::string> names;
        {
            std::lock_guard lock(mutex_);
            auto found = loaded_scripts_.find(id);
            if (found == loaded_scripts_.end()) return S_FALSE;
            names = std::move(found->second);
            loaded_scripts_.erase(found);
        }
        if (engine_) {
            for (const std::string& name : names)
                engine_->DeleteGlobal(name);
        }
        return S_OK;
    });
}

HRESULT PageHost::GetScript(const std::u16string& name, IDispatch** script) {
    if (!script) return E_POINTER;
    *script = nullptr;
    if (name != u" hidden script") return S_FALSE;
    return OnScriptThread([&]() -> HRESULT {
        return engine_ ? engine_->GetGlobalObject("__hiddenScript", script) : E_FAIL;
    });
}

HRESULT PageHost::PageObject(const char* name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    return OnScriptThread(
        [&]() -> HRESULT { return engine_ ? engine_->GetGlobalObject(name, object) : E_FAIL; });
}

HRESULT PageHost::Persist(const std::u16string& name, IDispatch* object) {
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

std::vector<ComPtr<IUnknown>> PageHost::TakePersisted() {
    std::lock_guard lock(mutex_);
    std::vector<ComPtr<IUnknown>> objects;
    for (auto& [name, object] : persisted_)
        objects.push_back(object.As<IUnknown>());
    persisted_.clear();
    return objects;
}

bool PageHost::IsPersisted(IUnknown* object) {
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_IUnknown, identity.put_void());
    std::lock_guard lock(mutex_);
    for (const auto& [name, kept] : persisted_) {
        if (kept.As<IUnknown>() == identity) return true;
    }
    return false;
}

HRESULT PageHost::UnPersist(const std::u16string& name, IDispatch** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    std::lock_guard lock(mutex_);
    auto found = persisted_.find(name);
    if (found == persisted_.end()) return S_FALSE;
    *object = found->second.get();
    if (*object) (*object)->AddRef();
    return S_OK;
}

HRESULT PageHost::Version(IDispatch** version) {
    if (!version) return E_POINTER;
    *version = nullptr;
    return OnScriptThread([&]() -> HRESULT {
        if (!engine_) return E_FAIL;
        CComVariant value;
        const std::string number = brevanto::ProductVersion();
        HRESULT hr = engine_->Evaluate("({ Library: '" + number + "', Host: '" + number +
                                           "', Engine: 'Duktape ' + Duktape.version })",
                                       &value);
        if (FAILED(hr)) return hr;
        if (value.vt != VT_DISPATCH) return E_FAIL;
        *version = value.pdispVal;
        value.vt = VT_EMPTY;
        return S_OK;
    });
}

}  // namespace brevanto_host
