// The named-event bus: the time from RaiseEvent to the handler running, and events per second
// through the bus with ten handlers, counting every call so that nothing may be lost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "../tests/support/nameless_dispatch.h"
#include "global/global.h"

namespace {

using Clock = std::chrono::steady_clock;

// A handler that counts its calls and remembers when the last one ran. Agile: the pool threads
// call it directly.
class Handler : public ComObjectRoot<Handler, NamelessDispatch, IMarshal> {
  public:
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        ++calls_;
        last_ = now;
        changed_.notify_all();
        return S_OK;
    }
    // Waits until `count` calls have arrived in all; the time of the last one.
    Clock::time_point WaitFor(long count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return calls_ >= count; });
        return last_;
    }
    long Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    long calls_ = 0;
    Clock::time_point last_;
};

struct Bus {
    ComPtr<CGlobal> global;
    std::vector<ComPtr<Handler>> handlers;
    CComBSTR name{u"Preset"};

    explicit Bus(int handler_count) {
        MakeComObject(&global);
        for (int i = 0; i < handler_count; ++i) {
            ComPtr<Handler> h;
            MakeComObject(&h);
            ULONG id = 0;
            global->RegisterForEvent(name, CComVariant(), h.get(), &id);
            handlers.push_back(h);
        }
        global->Start();
        // The registrations take effect on the event thread: wait for a first event to arrive.
        global->RaiseEvent(name, nullptr);
        for (auto& h : handlers)
            h->WaitFor(1);
    }
    ~Bus() { global->Destroy(); }
};

void BM_RaiseToHandler(benchmark::State& state) {
    Bus bus(1);
    Handler& handler = *bus.handlers[0];
    long expected = handler.Calls();
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        bus.global->RaiseEvent(bus.name, nullptr);
        const auto ran = handler.WaitFor(++expected);
        micros.push_back(std::chrono::duration<double, std::micro>(ran - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_RaiseToHandler)->UseRealTime()->Iterations(2000);

void BM_EventsThroughTenHandlers(benchmark::State& state) {
    Bus bus(10);
    const long batch = state.range(0);
    long per_handler = bus.handlers[0]->Calls();
    for (auto _ : state) {
        for (long i = 0; i < batch; ++i)
            bus.global->RaiseEvent(bus.name, nullptr);
        per_handler += batch;
        for (auto& h : bus.handlers)
            h->WaitFor(per_handler);
    }
    // Every handler got every event exactly once.
    long wrong = 0;
    for (auto& h : bus.handlers)
        wrong += std::abs(h->Calls() - per_handler);
    state.counters["lost_or_extra_calls"] = static_cast<double>(wrong);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
    state.counters["handler_calls_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch * 10), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EventsThroughTenHandlers)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
