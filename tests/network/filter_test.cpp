// Packet filters and their chains, as scripts and the library use them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "dispatch/data_context.h"
#include "network/filter_chain.h"
#include "network/filter_object.h"
#include "platform/safearray.h"
#include "support/dispatch_results.h"
#include "support/late_bound.h"
#include "support/network_scripts.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

TEST(FilterPattern, FixedBytesWildcardsAndShortPackets) {
    constexpr WORD any = FilterBase::kAnyByte;
    const struct {
        std::vector<WORD> pattern;
        std::vector<BYTE> bytes;
        LONG matches;
    } cases[] = {
        {{0x1C, any, 0x05}, {0x1C, 0x09, 0x05, 0x60}, 1},
        {{0x1C, any, 0x05}, {0x1C, 0x09, 0x06}, 0},
        {{0x1C, any, 0x05}, {0x1C, 0x05}, 0},  // too short
        {{any}, {}, 1},                        // a wildcard past the end
        {{0x1C, 300}, {0x1C}, 1},              // 256 and above: any
        {{}, {0x1C}, 0},                       // empty never matches
        {{}, {}, 0},
    };
    for (const auto& c : cases) {
        ref<FilterBase> filter(new FilterBase);
        filter->SetPattern(c.pattern);
        LONG match = 7;
        filter->Matches(PacketOf(c.bytes), &match);
        EXPECT_EQ(match, c.matches) << ::testing::PrintToString(c.pattern);
    }
}

using Setter = HRESULT (CPacketFilter::*)(IDispatch*);
constexpr Setter kMatches = &CPacketFilter::put_OnFilterMatches;
constexpr Setter kFailed = &CPacketFilter::put_OnFilterMatchFailed;
constexpr Setter kWhole = &CPacketFilter::put_FilterPacket;
constexpr Setter kDecide = &CPacketFilter::put_MatchesPacket;

// A chain of script filters, destroyed at the end so that the filter-object cycles break.
class FilterChain : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(CPacketFilters::Create(&chain), S_OK); }
    void TearDown() override {
        chain->Destroy();
        for (auto& f : filters)
            f->Destroy();
    }
    // A filter matching `pattern` (none: the empty pattern), added to the chain unless told.
    ComPtr<CPacketFilter> NewFilter(std::vector<int> pattern = {}, bool add = true) {
        auto f = New<CPacketFilter>();
        filters.push_back(f);
        if (!pattern.empty()) {
            EXPECT_EQ(f->put_PacketToMatch(ArrayValue(pattern)), S_OK);
        }
        if (add) {
            EXPECT_EQ(chain->Add(AsVariant(f->GetUnknown())), S_OK);
        }
        return f;
    }
    // A script function in one of the filter's members; its calls are logged as `tag`.
    ComPtr<ScriptFunction> Hook(CPacketFilter* f, Setter member, CComVariant result,
                                std::string tag = "") {
        auto function = ScriptFunction::Returning(std::move(result), &log, std::move(tag));
        EXPECT_EQ((f->*member)(function.get()), S_OK);
        return function;
    }
    bool Run(const Bytes& bytes) { return chain->RunFilters(PacketOf(bytes)); }
    // The calls logged since the last look.
    std::string Log() { return Joined(std::exchange(log, {})); }
    LONG Count() {
        LONG n = -1;
        EXPECT_EQ(chain->get_Count(&n), S_OK);
        return n;
    }
    // The pattern as scripts read it back: bytes in hex, wildcards as EMPTY.
    static std::string PatternOf(CPacketFilter* f) {
        CComVariant array;
        EXPECT_EQ(f->get_PacketToMatch(&array), S_OK);
        EXPECT_EQ(array.vt, VT_ARRAY | VT_VARIANT);
        std::string text;
        for (LONG i = 0;; ++i) {  // from 0: a lower bound of 1 shows as an empty pattern
            CComVariant v;
            if (FAILED(SafeArrayGetElement(array.parray, &i, &v))) return text;
            text += (i ? " " : "") + (v.vt == VT_UI1 ? Hex({v.bVal}) : ShowVariant(v));
        }
    }

    ComPtr<CPacketFilters> chain;
    std::vector<ComPtr<CPacketFilter>> filters;
    std::vector<std::string> log;
};

// A disabled filter runs only its FilterPacket function, which replaces everything, whatever
// Enable says, and never consumes. MatchesPacket replaces the pattern.
TEST_F(FilterChain, FilterPacketReplacesTheWholeStepAndMatchesPacketThePattern) {
    auto f = NewFilter({0x5C});
    Hook(f.get(), kMatches, CComVariant(true), "match");
    Hook(f.get(), kFailed, CComVariant(true), "fail");  // its result consumes nothing
    ASSERT_EQ(f->put_Enable(0), S_OK);
    EXPECT_FALSE(Run({0x5C}));
    EXPECT_EQ(Log(), "");
    Hook(f.get(), kWhole, CComVariant(true), "whole");
    EXPECT_FALSE(Run({0x5C}));
    ASSERT_EQ(f->put_Enable(1), S_OK);
    EXPECT_FALSE(Run({0x5C}));
    EXPECT_EQ(Log(), "whole whole");
    // A script's null empties the holder and brings the ordinary step back.
    IDispatch* script = static_cast<IPacketFilter*>(f.get());
    ASSERT_EQ(CallName(script, u"FilterPacket", DISPATCH_PROPERTYPUT, {Null()}), S_OK);
    EXPECT_TRUE(Run({0x5C}));
    EXPECT_FALSE(Run({0x1C}));
    EXPECT_EQ(Log(), "match fail");

    auto decide = Hook(f.get(), kDecide, CComVariant(true));
    EXPECT_TRUE(Run({0x1C}));  // the pattern would refuse it
    decide->result = CComVariant(false);
    EXPECT_FALSE(Run({0x5C}));  // the pattern would take it
    decide->failure = E_FAIL;
    decide->result = CComVariant(true);
    EXPECT_FALSE(Run({0x5C}));  // a failing test is no match
    // A script's undefined empties it: the pattern decides again.
    ASSERT_EQ(CallName(script, u"MatchesPacket", DISPATCH_PROPERTYPUT, {CComVariant()}), S_OK);
    EXPECT_TRUE(Run({0x5C}));
    EXPECT_EQ(Log(), "match fail fail match");
}

TEST_F(FilterChain, OnlyResultsThatCoerceToTrueConsume) {
    auto first = NewFilter({0x1C});
    Hook(NewFilter({0x1C}).get(), kMatches, CComVariant(), "second");
    const struct {
        CComVariant result;
        HRESULT failure;
        bool consumed;
    } cases[] = {
        {CComVariant(true), S_OK, true},
        {CComVariant(false), S_OK, false},
        {CComVariant(), S_OK, false},
        {I4(2), S_OK, true},
        {CComVariant(u"yes"), S_OK, false},
        {CComVariant(true), E_FAIL, false},
        {CComVariant(DOUBLE{0.0}), S_OK, false},
    };
    for (const auto& c : cases) {
        Hook(first.get(), kMatches, c.result)->failure = c.failure;
        EXPECT_EQ(Run({0x1C}), c.consumed) << ShowVariant(c.result);
        // A consumed packet reaches no later filter.
        EXPECT_EQ(Log(), c.consumed ? "" : "second");
    }
}

// On a match OnFilterMatches gets the packet's object with the filter as this; the Callbacks
// follow, also without it, with no this, and their results consume nothing.
TEST_F(FilterChain, OnAMatchTheFunctionThenTheCallbacksGetThePacketObjectAndCallbacksOutliveIt) {
    auto f = NewFilter({0x1C});
    ComPtr<IGenericCollection> callbacks;
    ASSERT_EQ(f->get_Callbacks(callbacks.put()), S_OK);
    auto a = ScriptFunction::Returning(CComVariant(true), &log, "a");
    ASSERT_EQ(callbacks->Add(AsVariant(a->GetUnknown())), S_OK);
    ASSERT_EQ(callbacks->Add(AsVariant(ScriptFunction::Returning({}, &log, "b")->GetUnknown())),
              S_OK);
    EXPECT_FALSE(Run({0x1C}));
    EXPECT_EQ(Log(), "a b");
    EXPECT_EQ(a->Last().self.get(), nullptr);
    auto matched = Hook(f.get(), kMatches, CComVariant(true), "match");
    EXPECT_TRUE(Run({0x1C, 2}));
    EXPECT_EQ(Log(), "match a b");
    const ScriptCall call = matched->Last();
    EXPECT_EQ(call.args.size(), 1u);
    EXPECT_EQ(call.self.get(), static_cast<IDispatch*>(static_cast<IPacketFilter*>(f.get())));
    EXPECT_EQ(Got(call.Object(), IdOf(call.Object(), u"Count")), "I4 2");
    // While script keeps it, callbacks about the same packet see the same object.
    EXPECT_EQ(a->Last().Object(), call.Object());
    Run({0x5C});
    EXPECT_EQ(Log(), "");

    // A script that keeps Callbacks keeps the filter's core, and so the collection, alive.
    {
        auto lone = New<CPacketFilter>();
        ASSERT_EQ(lone->get_Callbacks(callbacks.put()), S_OK);
        ASSERT_EQ(lone->Destroy(), S_OK);
    }
    LONG count = -1;
    EXPECT_EQ(callbacks->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
}

TEST_F(FilterChain, DestroyNowRemovesTheFilterAfterThePass) {
    auto once = NewFilter({0x1C});
    Hook(NewFilter({0x1C}).get(), kMatches, CComVariant(), "after");
    Hook(once.get(), kMatches, CComVariant(false), "once")->on_call = [&](IDispatch*) {
        once->put_DestroyNow(1);
    };
    LONG consumed = 7;
    chain->FilterAndPurge(PacketOf({0x1C}), &consumed);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(Log(), "once after");  // the pass finished
    // Leaving the chain released its functions.
    ComPtr<IDispatch> function;
    ASSERT_EQ(once->get_OnFilterMatches(function.put()), S_OK);
    EXPECT_EQ(function.get(), nullptr);
    chain->FilterAndPurge(PacketOf({0x1C}), &consumed);
    EXPECT_EQ(Log(), "after");
}

// Filters run in the order added, the same one twice runs twice, Priority orders nothing, and
// a filter added during a pass runs from the next pass.
TEST_F(FilterChain, FiltersRunInTheOrderAddedFromTheNextPass) {
    auto a = NewFilter();
    auto b = NewFilter();
    ASSERT_EQ(chain->Add(AsVariant(a->GetUnknown())), S_OK);
    a->put_Priority(1);
    b->put_Priority(100);
    auto added = NewFilter({}, false);
    Hook(added.get(), kWhole, CComVariant(), "late");
    Hook(a.get(), kWhole, CComVariant(), "a");
    Hook(b.get(), kWhole, CComVariant(), "b")->on_call = [&](IDispatch*) {
        if (Count() == 3) chain->Add(AsVariant(added->GetUnknown()));
    };
    Run({});
    EXPECT_EQ(Log(), "a b a");
    Run({});
    EXPECT_EQ(Log(), "a b a late");
}

TEST_F(FilterChain, PacketToMatchKeepsBytesAndDestroyLeavesOnlyTheCoreInTheChain) {
    auto f = NewFilter();
    auto array = ScriptArray::Of(
        {I4(1), Null(), I4(300), CComVariant(u"abc"), std::nullopt, CComVariant(u"7")});
    ASSERT_EQ(f->put_PacketToMatch(AsVariant(array->GetUnknown())), S_OK);
    EXPECT_EQ(PatternOf(f.get()), "01 EMPTY EMPTY EMPTY 07");  // the hole added nothing
    // Values that are no array, or have no length, change nothing.
    EXPECT_EQ(f->put_PacketToMatch(I4(5)), E_FAIL);
    EXPECT_EQ(f->put_PacketToMatch(AsVariant(ArrayWithoutLength()->GetUnknown())), E_FAIL);
    EXPECT_EQ(PatternOf(f.get()), "01 EMPTY EMPTY EMPTY 07");
    // An empty array empties the pattern but reports failure.
    EXPECT_EQ(f->put_PacketToMatch(ArrayValue({})), E_FAIL);
    EXPECT_EQ(PatternOf(f.get()), "");
    EXPECT_TRUE(f.As<IPacketFilter>() && f.As<IObjectSafety>() && f.As<IReadOnlyTest>());
    EXPECT_FALSE(IsAgileObject(f->GetUnknown()));
    EXPECT_EQ(f->get_Enable(nullptr), E_POINTER);
    auto whole = Hook(f.get(), kWhole, CComVariant());
    ASSERT_EQ(f->Destroy(), S_OK);
    LONG enable = 0;
    EXPECT_EQ(f->get_Enable(&enable), E_FAIL);
    EXPECT_EQ(f->put_PacketToMatch(CComVariant()), E_FAIL);
    ComPtr<IGenericCollection> callbacks;
    EXPECT_EQ(f->get_Callbacks(callbacks.put()), E_FAIL);
    FilterBase* core = reinterpret_cast<FilterBase*>(1);
    EXPECT_EQ(f->GetFilter(&core), E_FAIL);
    EXPECT_EQ(core, nullptr);

    EXPECT_EQ(Count(), 1);
    Run({});
    EXPECT_EQ(whole->Calls(), 1);
    EXPECT_EQ(whole->Last().self.get(), nullptr);  // no Owner any more
}

TEST_F(FilterChain, RemoveChecksTheIndexAndFiltersAddedThroughAContextLeaveWithThePage) {
    auto f = NewFilter({1, 2});
    EXPECT_EQ(chain->Remove(-1), E_INVALIDARG);
    EXPECT_EQ(chain->Remove(1), E_INVALIDARG);
    EXPECT_EQ(chain->Remove(0), S_OK);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(PatternOf(f.get()), "");  // Cleanup emptied it
    // Only objects with a filter core go in.
    EXPECT_EQ(chain->Add(AsVariant(ScriptObject({}).get())), E_NOINTERFACE);
    EXPECT_EQ(chain->Add(I4(1)), E_NOINTERFACE);

    ComPtr<IDataContext> context;
    ASSERT_EQ(CDataContext::Create(static_cast<IPacketFilters*>(chain.get()), context.put()), S_OK);
    auto add = [&](std::vector<CComVariant> args) {
        return CallName(context.get(), u"Add", DISPATCH_METHOD, std::move(args));
    };
    auto kept = NewFilter();  // added directly: not the page's
    auto page = NewFilter({}, false);
    ASSERT_EQ(add({AsVariant(page->GetUnknown())}), S_OK);
    // The hook refuses what is no filter, and other argument counts.
    EXPECT_NE(add({AsVariant(ScriptObject({}).get())}), S_OK);
    EXPECT_NE(add({AsVariant(page->GetUnknown()), AsVariant(page->GetUnknown())}), S_OK);
    EXPECT_EQ(Count(), 2);

    ASSERT_EQ(context->DestroyDependantObjects(), S_OK);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(chain->Filters()[0].get(), kept->Filter().get());
    context.As<IDestroy>()->Destroy();
}

TEST_F(FilterChain, PassesOnAWorkerWhileScriptChangesTheChain) {
    std::atomic<int> calls{0};
    Hook(NewFilter({0x1C}).get(), kMatches, CComVariant())->on_call = [&](IDispatch*) { ++calls; };
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            LONG consumed = 0;
            chain->FilterAndPurge(PacketOf({0x1C}), &consumed);
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto extra = NewFilter({0x5C});
        extra->put_Enable(i % 2);
        extra->put_DestroyNow(1);
    }
    while (calls < 10)
        std::this_thread::yield();
    stop = true;
    worker.join();
    chain->PurgeDestroyed();
    EXPECT_EQ(Count(), 1);
}

// Removals by filter and by index, in any mix and also during a pass, keep the others in
// order; the holes they leave and their compaction never show.
TEST_F(FilterChain, RemovalsKeepTheRestInOrder) {
    std::vector<ref<FilterBase>> model;
    auto remove = [&](int step) {
        // Never the first filter, which runs the removals during the pass.
        const std::size_t at = 1 + static_cast<std::size_t>(step * 7) % (model.size() - 1);
        if (step % 3 == 0) {
            ASSERT_EQ(chain->Remove(static_cast<LONG>(at)), S_OK);
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            ref<FilterBase> filter = model[at];
            chain->RemoveFilter(filter);
            model.erase(std::find(model.begin(), model.end(), filter));
        }
    };
    // The first filter removes twenty others (compacting the chain) while the pass goes on.
    ref<PacketRecorder> first(new PacketRecorder);
    first->consume = [&](const Bytes&) {
        for (int step = 30; step < 50; ++step)
            remove(step);
        return false;
    };
    model.push_back(first);
    std::vector<ref<PacketRecorder>> counted;
    for (int i = 0; i < 80; ++i) {
        counted.push_back(ref<PacketRecorder>(new PacketRecorder));
        model.push_back(counted.back());
    }
    model.push_back(model[3]);  // the same filter twice: removal takes the first
    for (const auto& filter : model)
        chain->AppendFilter(filter);

    for (int step = 1; step < 30; ++step) {
        remove(step);
        ASSERT_EQ(chain->Filters(), model) << "after step " << step;
    }
    const std::vector<ref<FilterBase>> before_pass = model;
    EXPECT_FALSE(Run({}));
    EXPECT_EQ(chain->Filters(), model);
    EXPECT_EQ(Count(), static_cast<LONG>(model.size()));
    for (const auto& filter : counted) {  // the pass reached every filter it started with
        const auto times = std::count(before_pass.begin(), before_pass.end(), filter);
        EXPECT_EQ(filter->All().size(), static_cast<std::size_t>(times));
    }
}

}  // namespace
