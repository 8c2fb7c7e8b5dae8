// The panel's JavaScriptCore bridge (bridge_bench.h); the worker's calls come through the page
// apartment's GLib source, the path of every bus and event callback in the panel.
#include "bench/bridge_bench.h"
#include "panel/extension/apartment_source.h"
#include "panel/extension/jsc_bridge.h"

using brevanto_panel::JscBridge;

namespace {

// A script context with the bridge, on a single-threaded apartment.
class Page {
  public:
    Page() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        context_ = jsc_context_new();
        brevanto_panel::PageServices services;
        services.create = bridge_bench::Create;
        services.log = [](const std::string&) {};
        services.report = [](const brevanto_panel::ScriptError&, bool) {};
        bridge_ = JscBridge::Install(context_, std::move(services));
    }
    ~Page() {
        bridge_->End();
        g_object_unref(context_);
        CoUninitialize();
    }
    // False when the script threw.
    bool Run(const std::string& script) {
        g_object_unref(jsc_context_evaluate(context_, script.c_str(), -1));
        const bool ok = !jsc_context_get_exception(context_);
        jsc_context_clear_exception(context_);
        return ok;
    }
    JscBridge* bridge() const { return bridge_; }
    JSCContext* context() const { return context_; }

  private:
    JSCContext* context_;
    JscBridge* bridge_;
};

void BM_PanelWorkerToScriptCallback(benchmark::State& state) {
    Page page;
    brevanto_panel::ApartmentSource pump;
    JSCValue* function =
        jsc_context_evaluate(page.context(), "var n = 0; (function (x) { n++; return x; })", -1);
    CComVariant handler;
    page.bridge()->ToVariant(function, &handler, false);
    g_object_unref(function);
    bridge_bench::CallFromWorker(
        state, handler.pdispVal, [] { g_main_context_iteration(nullptr, TRUE); },
        [](unsigned long page_thread) { CoPostToApartment(page_thread, [] {}); });
}
BENCHMARK(BM_PanelWorkerToScriptCallback)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    bridge_bench::RegisterLoops<Page>("Panel");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
