// The security service and the backlight on a panel: a log-in among a thousand users (every
// pass code is compared), adding a user with both files rewritten, and how often the timer
// thread wakes on an idle panel whose dimming and log-out countdowns are armed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "bench_directory.h"
#include "dispatch/disp_ex_object.h"
#include "global/global.h"
#include "process_stats.h"

namespace {

// A security object whose files hold "admin" and `users` more users with levels, logged in as
// the administrator.
ComPtr<CSecurityOb> SecurityWithUsers(const BenchDirectory& data, int users) {
    UserDatabase database;
    database.SetPassCode(u"admin", u"admin-code");
    database.SetLevels(u"admin", {0});
    for (int i = 0; i < users; ++i) {
        const std::u16string name = Utf8ToUtf16("user" + std::to_string(i));
        database.SetPassCode(name, Utf8ToUtf16(std::to_string(100000 + i)));
        database.SetLevels(name, {1 + i % 9});
    }
    database.Save(data.Path());
    ComPtr<CSecurityOb> security;
    MakeComObject(&security);
    security->Load(data.Path());
    LONG ok = 0;
    security->Login(CComBSTR(u"admin-code"), &ok);
    return security;
}

void BM_LoginAmongUsers(benchmark::State& state) {
    BenchDirectory data;
    ComPtr<CSecurityOb> security = SecurityWithUsers(data, static_cast<int>(state.range(0)));
    // The last user in name order and a code nobody has: both compare every stored code.
    CComBSTR known(Utf8ToUtf16(std::to_string(100000 + state.range(0) - 1)));
    CComBSTR unknown(u"999999");
    LONG result = 0;
    for (auto _ : state) {
        security->Login(known, &result);
        security->Login(unknown, &result);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_LoginAmongUsers)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_AddUserWithFiles(benchmark::State& state) {
    BenchDirectory data;
    ComPtr<CSecurityOb> security = SecurityWithUsers(data, static_cast<int>(state.range(0)));
    ComPtr<CDispExObject> levels;
    CDispExObject::Create(&levels);
    levels->members().SetValue(u"0", CComVariant(LONG{1}));
    levels->members().SetValue(u"length", CComVariant(LONG{1}));
    int next = 0;
    for (auto _ : state) {
        const std::string n = std::to_string(next++);
        CComBSTR message;
        security->AddUser(CComBSTR(std::string_view("new" + n)),
                          CComBSTR(std::string_view("code" + n)), levels.get(), &message);
        if (message.Length()) state.SkipWithError("AddUser refused");
    }
}
BENCHMARK(BM_AddUserWithFiles)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

// A started Global whose backlight (the shortest delay, ten seconds) and log-out countdown (30
// seconds) are armed; nothing touches the panel for thirty seconds.
void BM_IdleWakeupsWithDimmingAndLogoutArmed(benchmark::State& state) {
    ComPtr<CGlobal> global;
    MakeComObject(&global);
    global->Start();
    global->Security().put_AutoLogout(30);
    global->Backlight().put_Delay(10000);
    double per_second = 0;
    for (auto _ : state) {
        global->Backlight().UserActivity();
        const unsigned long timer_thread = global->TimerThread()->ThreadId();
        const long before = VoluntarySwitches(timer_thread);
        std::this_thread::sleep_for(std::chrono::seconds(30));
        const long after = VoluntarySwitches(timer_thread);
        per_second = static_cast<double>(after - before) / 30.0;
    }
    global->Destroy();
    state.counters["wakeups_per_s"] = per_second;
}
BENCHMARK(BM_IdleWakeupsWithDimmingAndLogoutArmed)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
