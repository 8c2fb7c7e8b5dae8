// The page bridge's costs: a library property read and method call from script against a plain
// script function call in the same engine, and a worker thread's call of a script function.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "dispatch/disp_ex_object.h"
#include "host/script_engine.h"
#include "network/packet_object.h"
#include "platform/git_ptr.h"
#include "platform/script_call.h"

using brevanto_host::ScriptEngine;

namespace {

std::unique_ptr<ScriptEngine> MakeEngine() {
    ScriptEngine::Callbacks callbacks;
    callbacks.create = [](const std::u16string& name, IDispatch** out, std::string*) -> HRESULT {
        if (name == u"Brevanto.Packet")
            return CreateComInstance<CPacketOb>(nullptr, IID_IDispatch,
                                                reinterpret_cast<void**>(out));
        ComPtr<CDispExObject> bag;
        HRESULT hr = CDispExObject::Create(&bag);
        if (SUCCEEDED(hr)) *out = static_cast<IDispatchEx*>(bag.Detach());
        return hr;
    };
    return std::make_unique<ScriptEngine>(callbacks);
}

// Runs `body` n times inside one script loop; the loop's own cost is in every figure.
void RunLoop(benchmark::State& state, const char* setup, const char* body) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        auto engine = MakeEngine();
        brevanto_host::ScriptError error;
        if (!engine->Run("setup.js", setup, &error)) state.SkipWithError(error.message.c_str());
        const std::string loop = std::string("for (var i = 0; i < 1000; i++) { ") + body + " }";
        for (auto _ : state) {
            if (!engine->Run("loop.js", loop, &error)) state.SkipWithError(error.message.c_str());
        }
        state.SetItemsProcessed(state.iterations() * 1000);
    }
    CoUninitialize();
}

void BM_ScriptFunctionCall(benchmark::State& state) {
    RunLoop(state, "function f(x) { return x; } var v;", "v = f(i);");
}
BENCHMARK(BM_ScriptFunctionCall);

void BM_LibraryPropertyRead(benchmark::State& state) {
    RunLoop(state, "var o = new ActiveXObject('x'); o.Level = 5; var v;", "v = o.Level;");
}
BENCHMARK(BM_LibraryPropertyRead);

void BM_LibraryPropertyWrite(benchmark::State& state) {
    RunLoop(state, "var o = new ActiveXObject('x'); o.Level = 5;", "o.Level = i;");
}
BENCHMARK(BM_LibraryPropertyWrite);

// A typed method of a library object: the packet decodes its header from its eight bytes.
void BM_LibraryMethodCall(benchmark::State& state) {
    RunLoop(state,
            "var p = new ActiveXObject('Brevanto.Packet'); p.Assign([0x1C, 1, 0, 2, 0, 0, 255]);",
            "p.QuickDecode();");
}
BENCHMARK(BM_LibraryMethodCall);

// A worker thread calls a script function through the global interface table; the script
// thread pumps. Time per call as the worker sees it.
void BM_WorkerToScriptCallback(benchmark::State& state) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        auto engine = MakeEngine();
        brevanto_host::ScriptError error;
        engine->Run("setup.js", "var n = 0; function handler(x) { n++; return x; }", &error);
        ComPtr<IDispatch> handler;
        engine->GetGlobalObject("handler", handler.put());
        CComGITPtr2<IDispatch> shared(handler.get());
        std::atomic<bool> done{false};
        const unsigned long script_thread = brevanto::CurrentThreadId();
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
            CoPostQuit(script_thread);
        });
        while (!done)
            CoPumpMessages(100);
        worker.join();
    }
    CoUninitialize();
}
BENCHMARK(BM_WorkerToScriptCallback)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
