// The scheduler: the cost of computing one schedule's next run (midnight and sunset relative,
// the latter with the solar formulas and the zone offset of a daylight-saving zone), the
// start-up load of 1 000 schedules and 100 holidays, and how often the timer thread wakes on an
// idle panel with 100 schedules armed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_directory.h"
#include "platform/bstr.h"
#include "process_stats.h"
#include "scheduler/scheduler.h"

namespace {

LocaleRecord Sydney() {
    LocaleRecord place;
    place.city = u"Sydney";
    place.lat = -33.87f;
    place.lng = 151.2f;
    place.timezone = u"AUS Eastern Standard Time";
    place.use_daylight_saving = true;
    return place;
}

ComPtr<CScheduler> NewScheduler() {
    ComPtr<CScheduler> scheduler;
    MakeComObject(&scheduler);
    scheduler->SetPlace(Sydney());
    return scheduler;
}

// range(0): RelativeTo (0 midnight, 2 sunset).
void BM_ScheduleNext(benchmark::State& state) {
    ComPtr<CScheduler> scheduler = NewScheduler();
    ref<ScheduleBase> schedule = new ScheduleBase;
    schedule->set_day_of_week(0x7F);
    schedule->set_day_of_month(ScheduleBase::kAllDaysOfMonth);
    schedule->set_month_of_year(ScheduleBase::kAllMonths);
    schedule->set_relative_to(static_cast<LONG>(state.range(0)));
    schedule->set_hours(-1);
    schedule->SetEnable(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(schedule->ScheduleNext(LocalNowDate(), scheduler.get()));
    schedule->DropReferences();
    scheduler->Destroy();
}
BENCHMARK(BM_ScheduleNext)->Arg(kRelativeToMidnight)->Arg(kRelativeToSunset);

void WriteFiles(const BenchDirectory& dir, int schedules, int holidays) {
    dir.Put("Sydney.xml",
            "<OB><PROP Name=\"city\" Value=\"Sydney\"/><PROP Name=\"lat\" Value=\"-33.87\"/>"
            "<PROP Name=\"long\" Value=\"151.2\"/><PROP Name=\"timezone\" "
            "Value=\"Australia/Sydney\"/><PROP Name=\"UseDaylightSaving\" Value=\"True\"/></OB>");
    std::string text = "<root_object Type=\"Array\"><length Type=\"Integer\">" +
                       std::to_string(schedules) + "</length>";
    for (int i = 0; i < schedules; ++i) {
        text +=
            "<item Index=\"" + std::to_string(i) + "\" Type=\"brevanto.schedule\"><Name>Schedule " +
            std::to_string(i) + "</Name><EventNumber Type=\"Integer\">" + std::to_string(i % 250) +
            "</EventNumber><DayOfMonth>all</DayOfMonth><MonthOfYear>all</MonthOfYear>"
            "<DayOfWeek>weekdays</DayOfWeek><RelativeTo>" +
            (i % 2 ? "sunset" : "midnight") + "</RelativeTo><Hours Type=\"Integer\">" +
            std::to_string(i % 24) + "</Hours><Minutes Type=\"Integer\">" + std::to_string(i % 60) +
            "</Minutes><Enable Type=\"Bool\">True</Enable><Preset "
            "Type=\"Integer\">1</Preset></item>";
    }
    dir.Put("Schedules.xml", text + "</root_object>");
    text = "<root_object Type=\"Array\"><length Type=\"Integer\">" + std::to_string(holidays) +
           "</length>";
    for (int i = 0; i < holidays; ++i) {
        text += "<item Index=\"" + std::to_string(i) +
                "\" Type=\"brevanto.publicholiday\"><Name>Holiday</Name><Year "
                "Type=\"Integer\">0</Year><Month Type=\"Integer\">" +
                std::to_string(i % 12 + 1) + "</Month><Day Type=\"Integer\">" +
                std::to_string(i % 28 + 1) + "</Day></item>";
    }
    dir.Put("PublicHolidays.xml", text + "</root_object>");
}

// The start-up load: the locale, then every holiday and every schedule, each armed (its next
// run computed, its timer queued) as it joins its collection.
void BM_LoadSchedulesAndHolidays(benchmark::State& state) {
    BenchDirectory dir;
    WriteFiles(dir, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    ComPtr<CConfigOb> config;
    MakeComObject(&config);
    config->DispatchExMembers().SetValue(u"locale", CComVariant(u"Sydney"));
    for (auto _ : state) {
        ComPtr<CScheduler> scheduler;
        MakeComObject(&scheduler);
        if (!scheduler->Load(dir.Path(), *config, nullptr) ||
            scheduler->Schedules().Size() != static_cast<std::size_t>(state.range(0)))
            state.SkipWithError("the files did not load");
        state.PauseTiming();
        scheduler->Destroy();
        scheduler = nullptr;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadSchedulesAndHolidays)
    ->Args({1000, 100})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// 100 schedules armed (daily, hours away) on a running timer thread, over twenty seconds.
void BM_IdleWakeupsWithHundredSchedules(benchmark::State& state) {
    ComPtr<CScheduler> scheduler = NewScheduler();
    scheduler->Start();
    std::vector<ComPtr<CSchedule>> schedules;
    const SYSTEMTIME now = LocalNow();
    for (int i = 0; i < 100; ++i) {
        ComPtr<CSchedule> schedule;
        MakeComObject(&schedule);
        ref<COMSchedule> core = schedule->Schedule();
        core->set_day_of_week(0x7F);
        core->set_day_of_month(ScheduleBase::kAllDaysOfMonth);
        core->set_month_of_year(ScheduleBase::kAllMonths);
        core->set_hours((now.wHour + 3 + i % 12) % 24);  // three hours away or more
        core->set_minutes(i % 60);
        core->SetEnable(true);
        scheduler->Schedules().Add(
            CComVariant(static_cast<IDispatch*>(static_cast<ISchedule*>(schedule.get()))));
        schedules.push_back(schedule);
    }
    constexpr int kSeconds = 20;
    double per_second = 0;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the additions taken in
        const long before = VoluntarySwitches(scheduler->Thread().ThreadId());
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        const long after = VoluntarySwitches(scheduler->Thread().ThreadId());
        per_second = static_cast<double>(after - before) / kSeconds;
    }
    state.counters["wakeups_per_s"] = per_second;
    scheduler->Shutdown();
    scheduler->Destroy();
}
BENCHMARK(BM_IdleWakeupsWithHundredSchedules)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
