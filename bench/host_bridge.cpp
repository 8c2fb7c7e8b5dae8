// The Duktape bridge's costs (bridge_bench.h); the script thread pumps the apartment itself.
#include "bench/bridge_bench.h"
#include "host/script_engine.h"

using brevanto_host::ScriptEngine;

namespace {

// An engine on a single-threaded apartment.
class Page {
  public:
    Page() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ScriptEngine::Callbacks callbacks;
        callbacks.create = bridge_bench::Create;
        engine_ = std::make_unique<ScriptEngine>(callbacks);
    }
    ~Page() {
        engine_.reset();
        CoUninitialize();
    }
    bool Run(const std::string& script) {
        brevanto_host::ScriptError error;
        return engine_->Run("bench.js", script, &error);
    }
    ScriptEngine& engine() { return *engine_; }

  private:
    std::unique_ptr<ScriptEngine> engine_;
};

void BM_WorkerToScriptCallback(benchmark::State& state) {
    Page page;
    page.Run("var n = 0; function handler(x) { n++; return x; }");
    ComPtr<IDispatch> handler;
    page.engine().GetGlobalObject("handler", handler.put());
    bridge_bench::CallFromWorker(
        state, handler.get(), [] { CoPumpMessages(100); },
        [](unsigned long page_thread) { CoPostQuit(page_thread); });
}
BENCHMARK(BM_WorkerToScriptCallback)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    bridge_bench::RegisterLoops<Page>("");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
