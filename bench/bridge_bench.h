// What the two engines' bridge benchmarks measure alike: a library property read and write and
// a typed method call from script against a plain script function call in the same engine,
// and a worker thread's call of a script function through the global interface table.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "dispatch/disp_ex_object.h"
#include "network/packet_object.h"
#include "platform/git_ptr.h"
#include "platform/script_call.h"

namespace bridge_bench {

// `new ActiveXObject(name)`: a packet for Brevanto.Packet, else an expando object.
inline HRESULT Create(const std::u16string& name, IDispatch** out, std::string*) {
    if (name == u"Brevanto.Packet")
        return CreateComInstance<CPacketOb>(nullptr, IID_IDispatch, reinterpret_cast<void**>(out));
    ComPtr<CDispExObject> bag;
    HRESULT hr = CDispExObject::Create(&bag);
    if (SUCCEEDED(hr)) *out = static_cast<IDispatchEx*>(bag.Detach());
    return hr;
}

// Runs `body` 1000 times inside one script loop; the loop's own cost is in every figure.
// Page: a page of one engine, with `bool Run(const std::string& script)`.
template <class Page>
void RunLoop(benchmark::State& state, const char* setup, const char* body) {
    Page page;
    if (!page.Run(setup)) state.SkipWithError("the setup failed");
    const std::string loop = std::string("for (var i = 0; i < 1000; i++) { ") + body + " }";
    for (auto _ : state) {
        if (!page.Run(loop)) state.SkipWithError("the loop failed");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}

// Registers the script loops as BM_<prefix>ScriptFunctionCall, ...
template <class Page>
void RegisterLoops(const std::string& prefix) {
    struct Loop {
        const char* name;
        const char* setup;
        const char* body;
    };
    static const Loop kLoops[] = {
        {"ScriptFunctionCall", "function f(x) { return x; } var v;", "v = f(i);"},
        {"LibraryPropertyRead", "var o = new ActiveXObject('x'); o.Level = 5; var v;",
         "v = o.Level;"},
        {"LibraryPropertyWrite", "var o = new ActiveXObject('x'); o.Level = 5;", "o.Level = i;"},
        // A typed method: the packet decodes its header from its eight bytes.
        {"LibraryMethodCall",
         "var p = new ActiveXObject('Brevanto.Packet'); p.Assign([0x1C, 1, 0, 2, 0, 0, 255]);",
         "p.QuickDecode();"},
    };
    for (const Loop& loop : kLoops) {
        benchmark::RegisterBenchmark(
            ("BM_" + prefix + loop.name).c_str(),
            [&loop](benchmark::State& state) { RunLoop<Page>(state, loop.setup, loop.body); });
    }
}

// A worker thread calls `handler` for every iteration while the page's thread runs `pump_once`
// until the worker is done; `wake` lets the page's thread see that. Time per call as the
// worker sees it.
inline void CallFromWorker(benchmark::State& state, IDispatch* handler,
                           const std::function<void()>& pump_once,
                           const std::function<void(unsigned long page_thread)>& wake) {
    CComGITPtr2<IDispatch> shared(handler);
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
        wake(page_thread);
    });
    while (!done)
        pump_once();
    worker.join();
}

}  // namespace bridge_bench
