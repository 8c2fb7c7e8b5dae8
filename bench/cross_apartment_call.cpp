// A dispatch call from a worker thread into an object of a single-threaded apartment, through
// the proxy the global interface table hands out: the cost of every call from a worker thread
// into script. The direct call is the baseline.
#include <benchmark/benchmark.h>

#include <future>
#include <thread>

#include "platform/apartment.h"
#include "platform/com_object.h"
#include "platform/variant.h"

namespace {

class Adder : public ComObjectRoot<Adder, IDispatch> {
  public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        result->vt = VT_I4;
        result->lVal = params->rgvarg[1].lVal + params->rgvarg[0].lVal;
        return S_OK;
    }
};

// The script thread: a single-threaded apartment that registers the object and pumps.
struct ScriptThread {
    ScriptThread() {
        std::promise<void> ready;
        thread = std::thread([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            id = brevanto::CurrentThreadId();
            ComPtr<Adder> adder;
            MakeComObject(&adder);
            ComPtr<IGlobalInterfaceTable> git;
            CoGetGlobalInterfaceTable(git.put());
            git->RegisterInterfaceInGlobal(static_cast<IDispatch*>(adder.get()), IID_IDispatch,
                                           &cookie);
            ready.set_value();
            while (CoPumpMessages(-1)) {
            }
            git->RevokeInterfaceFromGlobal(cookie);
            adder = nullptr;
            CoUninitialize();
        });
        ready.get_future().wait();
    }
    ~ScriptThread() {
        CoPostQuit(id);
        thread.join();
    }
    std::thread thread;
    unsigned long id = 0;
    DWORD cookie = 0;
};

void Call(benchmark::State& state, IDispatch* target) {
    CComVariant args[2] = {CComVariant(LONG{2}), CComVariant(LONG{40})};
    DISPPARAMS params{args, nullptr, 2, 0};
    for (auto _ : state) {
        CComVariant result;
        target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        benchmark::DoNotOptimize(result.lVal);
    }
}

void BM_InvokeThroughProxy(benchmark::State& state) {
    ScriptThread script;
    ComPtr<IGlobalInterfaceTable> git;
    CoGetGlobalInterfaceTable(git.put());
    ComPtr<IDispatch> proxy;
    git->GetInterfaceFromGlobal(script.cookie, IID_IDispatch, proxy.put_void());
    Call(state, proxy.get());
}
BENCHMARK(BM_InvokeThroughProxy)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_InvokeDirect(benchmark::State& state) {
    ComPtr<Adder> adder;
    MakeComObject(&adder);
    Call(state, adder.get());
}
BENCHMARK(BM_InvokeDirect)->Unit(benchmark::kMicrosecond);

void BM_FetchFromGlobalTable(benchmark::State& state) {
    ScriptThread script;
    ComPtr<IGlobalInterfaceTable> git;
    CoGetGlobalInterfaceTable(git.put());
    for (auto _ : state) {
        ComPtr<IDispatch> proxy;
        git->GetInterfaceFromGlobal(script.cookie, IID_IDispatch, proxy.put_void());
        benchmark::DoNotOptimize(proxy.get());
    }
}
BENCHMARK(BM_FetchFromGlobalTable)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
