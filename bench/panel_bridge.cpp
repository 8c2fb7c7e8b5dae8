// The panel's JavaScriptCore bridge: a library property read and method call from script
// against a plain script function call in the same engine, and a worker thread's call of a
// script function through the page apartment's GLib source (the path of every bus and event
// callback in the panel).
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "dispatch/disp_ex_object.h"
#include "network/packet_object.h"
#include "panel/extension/apartment_source.h"
#include "panel/extension/jsc_bridge.h"
#include "platform/git_ptr.h"
#include "platform/script_call.h"

using brevanto_panel::JscBridge;

namespace {

// A script context with the bridge, on a single-threaded apartment.
class Page {
  public:
    Page() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        context_ = jsc_context_new();
        brevanto_panel::PageServices services;
        services.create = [](const std::u16string& name, IDispatch** out, std::string*) -> HRESULT {
            if (name == u"Brevanto.Packet")
                return CreateComInstance<CPacketOb>(nullptr, IID_IDispatch,
                                                    reinterpret_cast<void**>(out));
            ComPtr<CDispExObject> bag;
            HRESULT hr = CDispExObject::Create(&bag);
            if (SUCCEEDED(hr)) *out = static_cast<IDispatchEx*>(bag.Detach());
            return hr;
        };
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

// Runs `body` 1000 times inside one script loop; the loop's own cost is in every figure.
void RunLoop(benchmark::State& state, const char* setup, const char* body) {
    Page page;
    if (!page.Run(setup)) state.SkipWithError("the setup failed");
    const std::string loop = std::string("for (var i = 0; i < 1000; i++) { ") + body + " }";
    for (auto _ : state) {
        if (!page.Run(loop)) state.SkipWithError("the loop failed");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_PanelScriptFunctionCall(benchmark::State& state) {
    RunLoop(state, "function f(x) { return x; } var v;", "v = f(i);");
}
BENCHMARK(BM_PanelScriptFunctionCall);

void BM_PanelLibraryPropertyRead(benchmark::State& state) {
    RunLoop(state, "var o = new ActiveXObject('x'); o.Level = 5; var v;", "v = o.Level;");
}
BENCHMARK(BM_PanelLibraryPropertyRead);

void BM_PanelLibraryPropertyWrite(benchmark::State& state) {
    RunLoop(state, "var o = new ActiveXObject('x'); o.Level = 5;", "o.Level = i;");
}
BENCHMARK(BM_PanelLibraryPropertyWrite);

void BM_PanelLibraryMethodCall(benchmark::State& state) {
    RunLoop(state,
            "var p = new ActiveXObject('Brevanto.Packet'); p.Assign([0x1C, 1, 0, 2, 0, 0, 255]);",
            "p.QuickDecode();");
}
BENCHMARK(BM_PanelLibraryMethodCall);

// A worker thread calls a script function through the global interface table; the page's
// thread runs the GLib main loop, which pumps the apartment. Time per call as the worker sees
// it.
void BM_PanelWorkerToScriptCallback(benchmark::State& state) {
    Page page;
    brevanto_panel::ApartmentSource pump;
    JSCValue* function =
        jsc_context_evaluate(page.context(), "var n = 0; (function (x) { n++; return x; })", -1);
    CComVariant handler;
    page.bridge()->ToVariant(function, &handler, false);
    g_object_unref(function);
    CComGITPtr2<IDispatch> shared(handler.pdispVal);
    std::atomic<bool> done{false};
    const unsigned long page_thread = brevanto::CurrentThreadId();
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ComPtr<IDispatch> fn = shared.Get();
            CComVariant arg(LONG{1});
            for (auto _ : state) {
                CComVariant result;
                CallScriptFunction(fn.get(), arg, &result);
            }
        }
        CoUninitialize();
        done = true;
        CoPostToApartment(page_thread, [] {});  // wakes the loop to see it
    });
    while (!done)
        g_main_context_iteration(nullptr, TRUE);
    worker.join();
}
BENCHMARK(BM_PanelWorkerToScriptCallback)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
