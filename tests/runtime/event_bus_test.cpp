// The named-event bus: the order of one wake, case-insensitive names, parameter filters, handler
// IDs, and calls that need the current Global's pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <semaphore>
#include <thread>
#include <vector>

#include "runtime/event_thread.h"
#include "support/runtime_doubles.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

using Handler = ComPtr<ScriptFunction>;

// The current Global as the bus sees it: a pool for the handler calls.
class PoolOnly : public IdleGlobal {
  public:
    PoolOnly() { pool.Start(); }
    void SubmitTask(ref<ThreadPoolTask> task) override {
        if (on_submit) std::exchange(on_submit, nullptr)();  // the event thread's own call
        pool.Submit(std::move(task));
    }

    CDefaultThreadPool pool;
    std::function<void()> on_submit;  // runs once, inside the next handler call's hand-over
};

class EventBusTest : public ::testing::Test {
  protected:
    void SetUp() override { CurrentGlobal::Set(&global_); }
    void TearDown() override {
        bus_.StopAndJoin();
        bus_.Clear();
        CurrentGlobal::Clear(&global_);
    }

    // Everything queued so far has taken effect and every handler call has returned: a sentinel
    // registered now is called for a raise made once its registration took effect, which is
    // after everything queued before it.
    void Drain() {
        // A name of its own each time: an earlier sentinel may not be unregistered yet.
        std::u16string name = u"sentinel " + Utf8ToUtf16(std::to_string(++drains_));
        auto sentinel = New<ScriptFunction>();
        ULONG id = bus_.Register(name, nullptr, sentinel.get());
        for (int i = 0; i < 500 && !sentinel->WaitFor(1, std::chrono::milliseconds(10)); ++i)
            bus_.Raise(name, nullptr);
        ASSERT_GE(sentinel->Calls(), 1);
        for (size_t i = 0; i < kPoolThreadCount; ++i)
            global_.pool.GetThread(i).IdleEvent().Wait(INFINITE);
        bus_.UnRegister(id);
    }
    void StartAndDrain() {
        bus_.Start();
        Drain();
    }
    // A new handler for `name` (with `filter`, if any); its ID in `id`, when asked for.
    Handler On(std::u16string_view name, IDispatchEx* filter = nullptr, ULONG* id = nullptr) {
        Handler handler = New<ScriptFunction>();
        const ULONG given = bus_.Register(name, filter, handler.get());
        if (id) *id = given;
        return handler;
    }
    // What each call of `handler` got, sorted (pool threads call in any order): the letter of
    // its object in `raised`, "-" for a raise without parameters (one argument, a null object),
    // "?" for anything else.
    static std::string Got(ScriptFunction* handler, const std::vector<IDispatch*>& raised = {}) {
        std::string got;
        for (const ScriptCall& call : handler->All()) {
            const bool one = call.args.size() == 1 && call.args[0].vt == VT_DISPATCH;
            char seen = one && !call.Object() ? '-' : '?';
            for (size_t i = 0; one && i < raised.size(); ++i)
                if (SameObject(call.Object(), raised[i])) seen = static_cast<char>('a' + i);
            got += seen;
        }
        std::sort(got.begin(), got.end());
        return got;
    }

    PoolOnly global_;
    EventThread bus_;
    int drains_ = 0;
};

TEST_F(EventBusTest, NamesMatchInAnyLetterCaseAndParameterFiltersCompareInTheRaisedValuesType) {
    // Registered under the first spelling, raised under the second: folded as script text is
    // (ASCII, Latin-1, Greek, Cyrillic).
    const std::pair<std::u16string, std::u16string> spellings[] = {
        {u"Scene", u"sCeNe"},
        {u"\u00C4\u00D6\u00DC", u"\u00E4\u00F6\u00FC"},  // ÄÖÜ, äöü
        {u"\u03A3\u03A9", u"\u03C3\u03C9"},              // ΣΩ, σω
        {u"\u041F\u0401", u"\u043F\u0451"},              // ПЁ, пё
    };
    std::vector<Handler> handlers;
    for (const auto& [registered, raised] : spellings)
        handlers.push_back(On(registered));
    const Handler number = On(u"Preset", ScriptObject({{u"Area", I4(5)}}).get()),
                  text = On(u"Preset", ScriptObject({{u"Area", Str(u"5")}}).get()),
                  two = On(u"Preset", ScriptObject({{u"Area", I4(5)}, {u"Join", I4(1)}}).get()),
                  nulls = On(u"Preset", ScriptObject({{u"Area", Null()}}).get());
    StartAndDrain();
    for (const auto& [registered, raised] : spellings) {
        EXPECT_EQ(bus_.HandlerCount(raised), 1u);
        bus_.Raise(raised, nullptr);
        bus_.Raise(raised + u"s", nullptr);  // another name
    }
    EXPECT_EQ(bus_.HandlerCount(u"Preset"), 4u);

    const ComPtr<IDispatchEx> raised[] = {
        ScriptObject({{u"Area", I4(5)}, {u"Join", I4(1)}}),          // a
        ScriptObject({{u"Join", I4(1)}}),                            // b
        ScriptObject({{u"Area", I4(6)}}),                            // c
        ScriptObject({{u"Area", Str(u"5")}, {u"Join", Str(u"2")}}),  // d
        ScriptObject({{u"Area", Null()}}),                           // e
    };
    std::vector<IDispatch*> objects;
    for (const auto& p : raised) {
        bus_.Raise(u"Preset", p.get());
        objects.push_back(p.get());
    }
    Drain();
    for (const Handler& handler : handlers)
        EXPECT_EQ(Got(handler.get()), "-");
    EXPECT_EQ(Got(number.get(), objects), "abd");  // "5" raised is compared as a string, 5 as "5"
    EXPECT_EQ(Got(text.get(), objects), "abd");    // the filter's "5" becomes the number 5
    EXPECT_EQ(Got(two.get(), objects), "ab");      // Join "2" differs from 1
    EXPECT_EQ(Got(nulls.get(), objects), "be");    // null equals only null; a number is not null
}

// Registrations taken before the start are in place for the first wake's raises, as a Global
// needs for its services' first events.
TEST_F(EventBusTest, OneWakeUnregistersThenRaisesThenRegistersUnlessRegistrationsWereTaken) {
    ULONG early_id = 0;
    const Handler early = On(u"Level", nullptr, &early_id);
    bus_.Raise(u"Level", nullptr);
    bus_.TakeRegistrations();
    StartAndDrain();
    EXPECT_EQ(Got(early.get()), "-");

    // Queued while the thread is stopped, so that one wake sees them all.
    bus_.Stop(INFINITE);
    auto first = ScriptObject({{u"n", I4(1)}}), second = ScriptObject({{u"n", I4(2)}});
    bus_.UnRegister(early_id);
    bus_.Raise(u"Level", first.get());
    const Handler late = On(u"Level");
    ULONG withdrawn_id = 0;  // registered and unregistered in that wake: never live
    const Handler withdrawn = On(u"Level", nullptr, &withdrawn_id);
    bus_.UnRegister(withdrawn_id);
    bus_.Start();
    Drain();  // the sentinel's registration takes effect in that wake or a later one
    bus_.Raise(u"Level", second.get());
    Drain();
    EXPECT_EQ(Got(early.get()), "-");  // unregistered before the first raise was delivered
    // Registered after the first raise was delivered; given the raiser's object itself.
    EXPECT_EQ(Got(late.get(), {first.get(), second.get()}), "b");
    EXPECT_EQ(Got(withdrawn.get()), "");
}

TEST_F(EventBusTest, ARaiseAfterAnUnregistrationMissesItsHandlerEvenMidWake) {
    ULONG victim_id = 0;
    const Handler blocker = On(u"Block"), victim = On(u"Late", nullptr, &victim_id);
    StartAndDrain();

    // The event thread is held while it hands over the call for "Block"; meanwhile the victim is
    // unregistered and then "Late" is raised.
    std::binary_semaphore entered(0), release(0);
    global_.on_submit = [&] {
        entered.release();
        release.acquire();
    };
    bus_.Raise(u"Block", nullptr);
    entered.acquire();
    bus_.UnRegister(victim_id);
    bus_.Raise(u"Late", nullptr);
    release.release();
    Drain();
    EXPECT_EQ(Got(blocker.get()), "-");
    EXPECT_EQ(Got(victim.get()), "");
}

TEST_F(EventBusTest, IdsStartAtOneAndAreNeverReusedAndClearForgetsAllButThem) {
    auto handler = New<ScriptFunction>();
    EXPECT_EQ(bus_.Register(u"A", nullptr, handler.get()), 1u);
    EXPECT_EQ(bus_.Register(u"A", nullptr, handler.get()), 2u);
    StartAndDrain();
    EXPECT_EQ(bus_.HandlerCount(u"A"), 2u);
    bus_.UnRegister(2);
    bus_.UnRegister(2);   // a repeated unregistration finds nothing
    bus_.UnRegister(99);  // an unknown ID is ignored
    Drain();
    EXPECT_EQ(bus_.HandlerCount(u"A"), 1u);
    EXPECT_EQ(bus_.Register(u"B", nullptr, handler.get()), 5u);  // the sentinels had 3 and 4
    bus_.Raise(u"A", nullptr);
    bus_.Raise(u"Nobody", nullptr);
    Drain();
    EXPECT_EQ(handler->Calls(), 1);

    // A clear forgets registrations and queued raises; IDs go on.
    bus_.StopAndJoin();
    bus_.Raise(u"A", nullptr);
    bus_.Register(u"A", nullptr, handler.get());
    bus_.Clear();
    EXPECT_EQ(bus_.HandlerCount(u"A"), 0u);
    bus_.Start();
    bus_.Raise(u"A", nullptr);
    bus_.Raise(u"B", nullptr);
    Drain();
    EXPECT_EQ(handler->Calls(), 1);
    // 7 was cleared; the sentinels had 6 and 8.
    EXPECT_EQ(bus_.Register(u"A", nullptr, handler.get()), 9u);
}

// A script object that reports each look-up of a member, as the bus makes to test a filter.
class ReadReporting : public CDispExObject {
  public:
    HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT n, LCID lcid, DISPID* ids) override {
        reads.Add(1);
        return CDispExObject::GetIDsOfNames(iid, names, n, lcid, ids);
    }
    WaitableLog<int> reads;
};

TEST_F(EventBusTest, WithoutACurrentGlobalNoHandlerIsCalledAndManyRaisersLoseNothing) {
    // Without a pool no handler can tell that the raise was matched; a filtered handler
    // registered after `handler` reads the raised object once `handler`'s turn has passed.
    const Handler handler = On(u"A"), filtered = On(u"A", ScriptObject({{u"n", I4(0)}}).get());
    StartAndDrain();
    CurrentGlobal::Clear(&global_);
    auto dropped = New<ReadReporting>();
    dropped->members().SetValue(u"n", I4(1));
    auto kept = ScriptObject({{u"n", I4(2)}});
    bus_.Raise(u"A", dropped.get());
    ASSERT_EQ(dropped->reads.WaitFor(1).size(), 1u);
    CurrentGlobal::Set(&global_);
    bus_.Raise(u"A", kept.get());
    Drain();
    EXPECT_EQ(Got(handler.get(), {dropped.get(), kept.get()}), "b");

    // Many raisers at once lose nothing.
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t)
        raisers.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                bus_.Raise(u"A", nullptr);
        });
    for (auto& t : raisers)
        t.join();
    EXPECT_TRUE(handler->WaitFor(401));
    EXPECT_EQ(handler->Calls(), 401);
}

}  // namespace
