// The named-event bus: the order of one wake, case-insensitive names, parameter filters, handler
// IDs, and calls that need the current Global's pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatch/disp_ex_object.h"
#include "runtime/current_global.h"
#include "runtime/event_thread.h"
#include "support/nameless_dispatch.h"

namespace {

// A script callback stand-in: records the parameters object of each call. Agile, so the pool
// threads call it directly.
class Recorder : public ComObjectRoot<Recorder, NamelessDispatch, IMarshal> {
  public:
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                   EXCEPINFO*, UINT*) override {
        if (dispid != DISPID_VALUE || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        std::lock_guard lock(mutex_);
        if (params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) {
            bad_calls_++;
        } else {
            seen_.emplace_back(params->rgvarg[0].pdispVal);
        }
        changed_.notify_all();
        return S_OK;
    }

    // Waits (at most 5 s) until `count` calls arrived; the calls so far.
    std::vector<ComPtr<IDispatch>> WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return seen_.size() >= count; });
        return seen_;
    }
    std::vector<ComPtr<IDispatch>> Calls() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    int BadCalls() {
        std::lock_guard lock(mutex_);
        return bad_calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ComPtr<IDispatch>> seen_;
    int bad_calls_ = 0;
};

ComPtr<Recorder> NewRecorder() {
    ComPtr<Recorder> r;
    EXPECT_EQ(MakeComObject(&r), S_OK);
    return r;
}

// A script object with the given members.
ComPtr<IDispatchEx> Params(std::initializer_list<std::pair<const char16_t*, CComVariant>> values) {
    ComPtr<CDispExObject> bag;
    EXPECT_EQ(CDispExObject::Create(&bag), S_OK);
    for (const auto& [name, value] : values) {
        CComBSTR n(name);
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(bag->GetDispID(n, fdexNameEnsure, &id), S_OK);
        VARIANT arg = value;
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS p{&arg, &put, 1, 1};
        EXPECT_EQ(bag->InvokeEx(id, 0x400, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr),
                  S_OK);
    }
    return ComPtr<IDispatchEx>(bag.get());
}

bool Same(IDispatch* a, IDispatch* b) {
    ComPtr<IUnknown> ua, ub;
    if (a) a->QueryInterface(ua.put());
    if (b) b->QueryInterface(ub.put());
    return ua.get() == ub.get();
}

// The current Global as the bus sees it: a pool for the handler calls.
class PoolOnly : public RuntimeServices {
  public:
    PoolOnly() { pool.Start(); }
    void SubmitTask(ref<ThreadPoolTask> task) override { pool.Submit(std::move(task)); }
    HRESULT RaiseEvent(BSTR, IDispatchEx*) override { return E_NOTIMPL; }
    HRESULT Log(BSTR) override { return E_NOTIMPL; }

    CDefaultThreadPool pool;
};

class EventBusTest : public ::testing::Test {
  protected:
    void SetUp() override { CurrentGlobal::Set(&global_); }
    void TearDown() override {
        bus_.StopAndJoin();
        bus_.Clear();
        CurrentGlobal::Clear(&global_);
    }

    void WaitForHandlers(std::u16string_view name, size_t count) {
        for (int i = 0; i < 5000 && bus_.HandlerCount(name) != count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(bus_.HandlerCount(name), count);
    }

    // Every event raised so far has been delivered and every handler call has returned.
    void Drain() {
        // A name of its own each time: an earlier sentinel may not be unregistered yet.
        std::u16string name = u"sentinel " + Utf8ToUtf16(std::to_string(++drains_));
        auto sentinel = NewRecorder();
        ULONG id = bus_.Register(name, nullptr, sentinel.get());
        WaitForHandlers(name, 1);
        bus_.Raise(name, nullptr);
        ASSERT_EQ(sentinel->WaitFor(1).size(), 1u);
        for (size_t i = 0; i < kPoolThreadCount; ++i)
            global_.pool.GetThread(i).IdleEvent().Wait(INFINITE);
        bus_.UnRegister(id);
    }

    PoolOnly global_;
    EventThread bus_;
    int drains_ = 0;
};

TEST_F(EventBusTest, NamesMatchInAnyLetterCase) {
    // Registered under the first spelling, raised under the second: folded as script text is
    // (ASCII, Latin-1, Greek, Cyrillic).
    const std::pair<std::u16string, std::u16string> spellings[] = {
        {u"Preset", u"pReSeT"},
        {u"\u00C4\u00D6\u00DC", u"\u00E4\u00F6\u00FC"},  // ÄÖÜ, äöü
        {u"\u03A3\u03A9", u"\u03C3\u03C9"},              // ΣΩ, σω
        {u"\u041F\u0401", u"\u043F\u0451"},              // ПЁ, пё
    };
    std::vector<ComPtr<Recorder>> handlers;
    for (const auto& [registered, raised] : spellings) {
        handlers.push_back(NewRecorder());
        bus_.Register(registered, nullptr, handlers.back().get());
    }
    bus_.Start();
    for (const auto& [registered, raised] : spellings) {
        WaitForHandlers(raised, 1);
        bus_.Raise(raised, nullptr);
        bus_.Raise(raised + u"s", nullptr);  // another name
    }
    Drain();
    for (size_t i = 0; i < handlers.size(); ++i) {
        auto calls = handlers[i]->Calls();
        ASSERT_EQ(calls.size(), 1u) << "spelling " << i;
        EXPECT_EQ(calls[0].get(), nullptr);  // raised without parameters: a null object
        EXPECT_EQ(handlers[i]->BadCalls(), 0);
    }
}

TEST_F(EventBusTest, OneWakeUnregistersThenRaisesThenRegisters) {
    auto early = NewRecorder();
    auto late = NewRecorder();
    ULONG early_id = bus_.Register(u"Level", nullptr, early.get());
    bus_.Start();
    WaitForHandlers(u"Level", 1);

    // Queued while the thread is stopped, so that one wake sees them all.
    bus_.Stop(INFINITE);
    auto first = Params({{u"n", CComVariant(LONG{1})}});
    bus_.UnRegister(early_id);
    bus_.Raise(u"Level", first.get());
    bus_.Register(u"Level", nullptr, late.get());
    bus_.Start();
    Drain();  // the sentinel's registration takes effect in that wake or a later one

    auto second = Params({{u"n", CComVariant(LONG{2})}});
    bus_.Raise(u"Level", second.get());
    Drain();
    EXPECT_TRUE(early->Calls().empty());  // unregistered before the raise was delivered
    auto calls = late->Calls();           // registered after the first raise was delivered
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(Same(calls[0].get(), second.get()));  // the raiser's object, not a copy
}

TEST_F(EventBusTest, ParameterFiltersCompareInTheRaisedValuesType) {
    auto number = NewRecorder();
    auto text = NewRecorder();
    auto two = NewRecorder();
    auto null = NewRecorder();
    bus_.Register(u"Preset", Params({{u"Area", CComVariant(LONG{5})}}).get(), number.get());
    bus_.Register(u"Preset", Params({{u"Area", CComVariant(u"5")}}).get(), text.get());
    bus_.Register(u"Preset",
                  Params({{u"Area", CComVariant(LONG{5})}, {u"Join", CComVariant(LONG{1})}}).get(),
                  two.get());
    CComVariant null_value;
    null_value.vt = VT_NULL;
    bus_.Register(u"Preset", Params({{u"Area", null_value}}).get(), null.get());
    bus_.Start();
    WaitForHandlers(u"Preset", 4);

    auto area5 = Params({{u"Area", CComVariant(LONG{5})}, {u"Join", CComVariant(LONG{1})}});
    auto join_only = Params({{u"Join", CComVariant(LONG{1})}});
    auto area6 = Params({{u"Area", CComVariant(LONG{6})}});
    auto area5_text = Params({{u"Area", CComVariant(u"5")}, {u"Join", CComVariant(u"2")}});
    auto area_null = Params({{u"Area", null_value}});
    for (auto* p : {area5.get(), join_only.get(), area6.get(), area5_text.get(), area_null.get()})
        bus_.Raise(u"Preset", p);
    Drain();

    auto names = [&](Recorder* r) {
        std::vector<IDispatch*> expected_order{area5.get(), join_only.get(), area6.get(),
                                               area5_text.get(), area_null.get()};
        std::string got;
        for (auto& call : r->Calls())
            for (size_t i = 0; i < expected_order.size(); ++i)
                if (Same(call.get(), expected_order[i])) got += static_cast<char>('a' + i);
        std::sort(got.begin(), got.end());
        return got;
    };
    // a {Area 5, Join 1}, b {Join 1}, c {Area 6}, d {Area "5", Join "2"}, e {Area null}
    EXPECT_EQ(names(number.get()), "abd");  // "5" raised is compared as a string with 5 made "5"
    EXPECT_EQ(names(text.get()), "abd");    // the filter's "5" becomes the number 5
    EXPECT_EQ(names(two.get()), "ab");      // Join "2" differs from 1
    EXPECT_EQ(names(null.get()), "be");     // null equals only null; a number is not null
}

TEST_F(EventBusTest, IdsStartAtOneAndAreNeverReused) {
    auto handler = NewRecorder();
    EXPECT_EQ(bus_.Register(u"A", nullptr, handler.get()), 1u);
    EXPECT_EQ(bus_.Register(u"A", nullptr, handler.get()), 2u);
    bus_.Start();
    WaitForHandlers(u"A", 2);
    bus_.UnRegister(2);
    bus_.UnRegister(2);   // a repeated unregistration finds nothing
    bus_.UnRegister(99);  // an unknown ID is ignored
    WaitForHandlers(u"A", 1);
    EXPECT_EQ(bus_.Register(u"B", nullptr, handler.get()), 3u);
    bus_.Raise(u"A", nullptr);
    bus_.Raise(u"Nobody", nullptr);
    Drain();
    EXPECT_EQ(handler->Calls().size(), 1u);
}

TEST_F(EventBusTest, WithoutACurrentGlobalNoHandlerIsCalled) {
    auto handler = NewRecorder();
    bus_.Register(u"A", nullptr, handler.get());
    bus_.Start();
    WaitForHandlers(u"A", 1);
    CurrentGlobal::Clear(&global_);
    auto dropped = Params({{u"n", CComVariant(LONG{1})}});
    bus_.Raise(u"A", dropped.get());
    // Once a later event has been matched, the first one has been matched too.
    auto probe = NewRecorder();
    bus_.Register(u"Probe", nullptr, probe.get());
    WaitForHandlers(u"Probe", 1);
    CurrentGlobal::Set(&global_);
    auto kept = Params({{u"n", CComVariant(LONG{2})}});
    bus_.Raise(u"A", kept.get());
    Drain();
    auto calls = handler->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(Same(calls[0].get(), kept.get()));
}

TEST_F(EventBusTest, ClearForgetsRegistrationsAndQueuedWork) {
    auto handler = NewRecorder();
    bus_.Register(u"A", nullptr, handler.get());
    bus_.Start();
    WaitForHandlers(u"A", 1);
    bus_.StopAndJoin();
    bus_.Raise(u"A", nullptr);
    bus_.Register(u"A", nullptr, handler.get());
    bus_.Clear();
    EXPECT_EQ(bus_.HandlerCount(u"A"), 0u);
    bus_.Start();
    bus_.Raise(u"A", nullptr);
    Drain();
    EXPECT_TRUE(handler->Calls().empty());
    // IDs go on after a clear.
    EXPECT_EQ(bus_.Register(u"A", nullptr, handler.get()), 4u);  // the sentinel had 3
}

TEST_F(EventBusTest, ManyRaisersLoseNothing) {
    auto handler = NewRecorder();
    bus_.Register(u"A", nullptr, handler.get());
    bus_.Start();
    WaitForHandlers(u"A", 1);
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t)
        raisers.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                bus_.Raise(u"A", nullptr);
        });
    for (auto& t : raisers)
        t.join();
    EXPECT_EQ(handler->WaitFor(400).size(), 400u);
}

}  // namespace
