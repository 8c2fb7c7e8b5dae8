// What a host does for its pages whatever engine runs them: the library module and its one
// Global, the page's own Global.ReadOnly data context, the objects pages create, the
// persistence store, the scripts a page loads and removes, and the page's objects the library
// asks for (the hidden script, document, window). The few acts that need the engine or the
// host program are the PageSite::Host interface, which each host implements.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/bridge/library_module.h"
#include "host/bridge/script_file.h"
#include "interfaces/dispatch.h"

namespace brevanto_host {

class PageSite {
  public:
    class Host {
      public:
        // ---- Any thread ----
        virtual void Log(const std::string& text) = 0;
        // Leaving the page goes through the host program, after the current script call.
        virtual void RequestPage(const std::string& page) = 0;
        virtual void RequestRestart() = 0;
        virtual void RequestClose() = 0;

        // ---- The page's thread, while a page runs ----
        virtual bool HasPage() = 0;
        // The folder relative script and page names are taken from.
        virtual std::filesystem::path PageDirectory() = 0;
        // Runs a script file whose declarations can be deleted again; false with *error.
        virtual bool RunRemovableFile(const std::filesystem::path& file, ScriptError* error) = 0;
        // An error that does not end the page (a loaded script that failed).
        virtual void Report(const ScriptError& error) = 0;
        virtual std::vector<std::string> GlobalNames() = 0;
        virtual void DeleteGlobal(const std::string& name) = 0;
        virtual HRESULT GlobalObject(const char* name, IDispatch** object) = 0;
        virtual HRESULT Evaluate(const std::string& expression, VARIANT* result) = 0;
        // A script expression naming the engine and its version, for Version().
        virtual std::string EngineNameExpression() = 0;

      protected:
        ~Host() = default;
    };

    enum class GlobalStart { kStarted, kUnavailable, kFailed };

    // `version_key`: how Version() names the host program ("Host", "Panel").
    PageSite(Host& host, std::string version_key)
        : host_(host), version_key_(std::move(version_key)) {}
    PageSite(const PageSite&) = delete;
    PageSite& operator=(const PageSite&) = delete;

    Host& host() { return host_; }

    // ---- The library (the page's thread) ----
    // The calling thread becomes the page's thread, in a single-threaded apartment of its own;
    // false when it cannot enter one. After StopGlobal it enters a fresh one, for a fresh Global.
    bool EnterApartment();
    bool LoadModule(const std::filesystem::path& file, std::string* error);
    // Creates a Global, hands it `application` and starts it; kUnavailable when the module
    // makes none (*error says why either way).
    GlobalStart StartGlobal(IUnknown* application, std::string* error);
    // Once the page has ended: empties the persistence store, leaves the page's apartment, then
    // shuts the Global down. Leaving first fails the calls that workers still have queued for
    // the page's thread, so that shutting the Global down never waits for a thread that waits
    // for this one. A host that watches the apartment's descriptor lets go of it before.
    void StopGlobal();
    // The page the configuration names as "StartPage"; empty when none.
    std::string StartPageSetting();

    // ---- A page (the page's thread) ----
    // What the page sees as `Global`: its own data context, else the Global itself (null
    // without a Global).
    ComPtr<IDispatch> BeginPage();
    // Ends the page: what it registered through its data context, then (release_engine) its
    // engine, whose finalizers let go of the library objects the scripts held, then the
    // reference cycles of the objects it made or let out of the persistence store.
    void EndPage(const std::function<void()>& release_engine);
    // `new ActiveXObject(prog_id)`: refuses another Global (*refusal says why).
    HRESULT CreateForPage(const std::u16string& prog_id, IDispatch** object, std::string* refusal);

    // ---- What the host application asks for (any thread) ----
    HRESULT LoadScript(const std::u16string& id, const std::u16string& file, LONG* result);
    HRESULT RemoveScript(const std::u16string& id);
    HRESULT GetScript(const std::u16string& name, IDispatch** script);
    HRESULT PageObject(const char* name, IDispatch** object);
    HRESULT Persist(const std::u16string& name, IDispatch* object);
    HRESULT UnPersist(const std::u16string& name, IDispatch** object);
    HRESULT Version(IDispatch** version);

  private:
    // Empties the persistence store, breaking the cycles of what it held.
    void ForgetPersisted();
    // Runs work on the page's thread and waits for it (directly when already there).
    HRESULT OnPageThread(const std::function<HRESULT()>& work);
    void DestroyUnlessPersisted(std::vector<ComPtr<IUnknown>> objects);
    bool IsPersisted(IUnknown* object);

    Host& host_;
    const std::string version_key_;
    unsigned long page_thread_ = 0;
    bool in_apartment_ = false;
    LibraryModule module_;
    CLSID global_class_{};  // pages may not make another one
    ComPtr<IDispatch> global_;
    ComPtr<IDataContext> context_;  // the current page's Global.ReadOnly

    std::mutex mutex_;  // the library persists from any thread
    std::map<std::u16string, ComPtr<IDispatch>> persisted_;
    // Objects the page created, and objects that left the persistence store meanwhile (replaced
    // or un-persisted): their reference cycles (a packet filter and its native filter) are
    // broken once the page's scripts are gone, unless they are persisted by then.
    std::vector<ComPtr<IUnknown>> page_objects_;
    std::map<std::u16string, std::vector<std::string>> loaded_scripts_;  // id -> globals it made
};

}  // namespace brevanto_host
