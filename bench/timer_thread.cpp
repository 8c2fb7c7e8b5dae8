// The timer thread: how late a timer's handler runs after its due time with 1, 100 and 1 000
// timers started at once, and how often the thread wakes on an idle panel whose only work is
// twenty repeating ten-second timers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "process_stats.h"
#include "runtime/schedule_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes, for each expiry, how far past its due time the handler ran.
class LatenessRecorder : public TimeoutHandler {
  public:
    void Expect(ULONG id, Clock::time_point due) {
        std::lock_guard lock(mutex_);
        due_[id] = due;
    }
    void TimedOut(TimerBase* timer) override {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        auto due = due_.find(timer->id());
        if (due != due_.end())
            lateness_us_.push_back(
                std::chrono::duration<double, std::micro>(now - due->second).count());
        ++fired_;
        changed_.notify_all();
    }
    void WaitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return fired_ >= count; });
    }
    std::vector<double> TakeLateness() {
        std::lock_guard lock(mutex_);
        fired_ = 0;
        return std::exchange(lateness_us_, {});
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<ULONG, Clock::time_point> due_;
    std::vector<double> lateness_us_;
    std::size_t fired_ = 0;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// `range(0)` one-shot timers, due 100 to 199 ms after they are started, all started at once.
void BM_TimerLateness(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    ScheduleThread thread;
    thread.Start();
    ref<LatenessRecorder> recorder(new LatenessRecorder);
    std::vector<ref<TimerBase>> timers;
    for (std::size_t i = 0; i < count; ++i) {
        ref<TimerBase> timer(new TimerBase);
        timer->Initialise();
        timer->set_handler(recorder.get());
        timer->set_period(static_cast<LONG>(100 + i % 100));
        timers.push_back(timer);
    }
    std::vector<double> lateness;
    for (auto _ : state) {
        for (const auto& timer : timers) {
            recorder->Expect(timer->id(),
                             Clock::now() + std::chrono::milliseconds(timer->period()));
            timer->Start(&thread);
        }
        recorder->WaitFor(count);
        auto round = recorder->TakeLateness();
        lateness.insert(lateness.end(), round.begin(), round.end());
    }
    state.counters["median_us"] = Percentile(lateness, 0.5);
    state.counters["p99_us"] = Percentile(lateness, 0.99);
    thread.StopAndJoin();
}
BENCHMARK(BM_TimerLateness)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// Twenty repeating ten-second timers, started a second apart, over thirty seconds.
void BM_IdleWakeupsWithTwentyTenSecondTimers(benchmark::State& state) {
    ScheduleThread thread;
    thread.Start();
    ref<LatenessRecorder> recorder(new LatenessRecorder);
    std::vector<ref<TimerBase>> timers;
    for (int i = 0; i < 20; ++i) {
        ref<TimerBase> timer(new TimerBase);
        timer->Initialise();
        timer->set_handler(recorder.get());
        timer->set_one_shot(0);
        timer->set_period(10000);
        timers.push_back(timer);
    }
    double per_second = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < timers.size(); ++i) {
            timers[i]->Start(&thread);
            if (i % 2) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        const long before = VoluntarySwitches(thread.ThreadId());
        std::this_thread::sleep_for(std::chrono::seconds(30));
        const long after = VoluntarySwitches(thread.ThreadId());
        per_second = static_cast<double>(after - before) / 30.0;
    }
    for (const auto& timer : timers)
        timer->Cancel(&thread);
    thread.StopAndJoin();
    state.counters["wakeups_per_s"] = per_second;
}
BENCHMARK(BM_IdleWakeupsWithTwentyTenSecondTimers)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
