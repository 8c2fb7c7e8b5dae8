// Packet filters and chains: the pattern test, the script functions and their order, one-shot
// filters, the list operations, PacketToMatch, Destroy, and filters added through a page's
// context.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dispatch/data_context.h"
#include "dispatch/disp_ex_object.h"
#include "network/call_packet_function.h"
#include "network/packet_filter.h"
#include "network/packet_filters.h"
#include "network/packet_object.h"
#include "network_test_support.h"
#include "platform/safearray.h"
#include "support/script_doubles.h"

namespace {

ref<PacketBase> Packet(const std::vector<BYTE>& bytes) {
    return PacketOf(bytes);
}
CComVariant Object(IUnknown* object) {
    return AsVariant(object);
}

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
    };
    for (const auto& c : cases) {
        ref<FilterBase> filter(new FilterBase);
        filter->SetPattern(c.pattern);
        LONG match = 7;
        filter->Matches(Packet(c.bytes), &match);
        EXPECT_EQ(match, c.matches) << ::testing::PrintToString(c.pattern);
    }
}

// A chain of script filters, destroyed at the end so that the filter-object cycles break.
class FilterChain : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(CPacketFilters::Create(&chain), S_OK); }
    void TearDown() override {
        chain->Destroy();
        for (auto& f : filters)
            f->Destroy();
    }
    ComPtr<CPacketFilter> NewFilter(bool add = true) {
        ComPtr<CPacketFilter> f;
        EXPECT_EQ(MakeComObject(&f), S_OK);
        filters.push_back(f);
        if (add) {
            EXPECT_EQ(chain->Add(Object(f->GetUnknown())), S_OK);
        }
        return f;
    }
    void SetPattern(CPacketFilter* f, std::vector<int> bytes) {
        EXPECT_EQ(f->put_PacketToMatch(Object(ScriptArray::Bytes(bytes)->GetUnknown())), S_OK);
    }
    ComPtr<ScriptFunction> Function(CComVariant result, std::string tag = "") {
        return ScriptFunction::Returning(std::move(result), &log, std::move(tag));
    }
    LONG Count() {
        LONG n = -1;
        EXPECT_EQ(chain->get_Count(&n), S_OK);
        return n;
    }

    ComPtr<CPacketFilters> chain;
    std::vector<ComPtr<CPacketFilter>> filters;
    std::vector<std::string> log;
};

TEST_F(FilterChain, EmptyPatternNeverMatchesSoOnlyTheFailureFunctionRuns) {
    auto f = NewFilter();
    auto matched = Function(CComVariant(true), "match");
    auto failed = Function(CComVariant(true), "fail");
    f->put_OnFilterMatches(matched.get());
    f->put_OnFilterMatchFailed(failed.get());
    EXPECT_FALSE(chain->RunFilters(Packet({0x1C})));
    EXPECT_FALSE(chain->RunFilters(Packet({})));
    EXPECT_EQ(log, (std::vector<std::string>{"fail", "fail"}));  // its true result is ignored
}

TEST_F(FilterChain, FunctionsGetThePacketObjectAndTheFilterAsThis) {
    auto f = NewFilter();
    SetPattern(f.get(), {0x1C});
    auto matched = Function(CComVariant(false));
    f->put_OnFilterMatches(matched.get());
    auto packet = Packet({0x1C, 2});
    chain->RunFilters(packet);
    ASSERT_EQ(matched->Calls(), 1);
    const ScriptCall call = matched->Last();
    EXPECT_EQ(call.args.size(), 1u);
    EXPECT_EQ(call.self.get(), static_cast<IDispatch*>(static_cast<IPacketFilter*>(f.get())));
    ComPtr<IPacket> object = ComPtr<IDispatch>(call.Object()).As<IPacket>();
    ASSERT_TRUE(object);
    LONG count = 0;
    object->get_Count(&count);
    EXPECT_EQ(count, 2);
    // While script keeps it, callbacks about the same packet see the same object.
    EXPECT_EQ(packet->ScriptObject, call.Object());
}

TEST_F(FilterChain, DisabledFiltersOnlyRunTheirFilterPacketFunction) {
    auto f = NewFilter();
    SetPattern(f.get(), {FilterBase::kAnyByte});
    auto matched = Function(CComVariant(true), "match");
    auto failed = Function(CComVariant(), "fail");
    f->put_OnFilterMatches(matched.get());
    f->put_OnFilterMatchFailed(failed.get());
    ASSERT_EQ(f->put_Enable(0), S_OK);
    EXPECT_FALSE(chain->RunFilters(Packet({1})));
    EXPECT_TRUE(log.empty());

    // FilterPacket replaces everything, whatever Enable says, and never consumes.
    auto whole = Function(CComVariant(true), "whole");
    f->put_FilterPacket(whole.get());
    EXPECT_FALSE(chain->RunFilters(Packet({1})));
    ASSERT_EQ(f->put_Enable(1), S_OK);
    EXPECT_FALSE(chain->RunFilters(Packet({1})));
    EXPECT_EQ(log, (std::vector<std::string>{"whole", "whole"}));
    // Emptying the holder brings the ordinary step back.
    ASSERT_EQ(f->put_FilterPacket(nullptr), S_OK);
    EXPECT_TRUE(chain->RunFilters(Packet({1})));
}

TEST_F(FilterChain, OnlyResultsThatCoerceToTrueConsume) {
    auto first = NewFilter();
    auto second = NewFilter();
    SetPattern(first.get(), {0x1C});
    SetPattern(second.get(), {0x1C});
    auto later = Function(CComVariant(), "second");
    second->put_OnFilterMatches(later.get());

    struct Case {
        CComVariant result;
        HRESULT failure;
        bool consumed;
    };
    const Case cases[] = {
        {CComVariant(true), S_OK, true},
        {CComVariant(false), S_OK, false},
        {CComVariant(), S_OK, false},
        {CComVariant(LONG{2}), S_OK, true},
        {CComVariant(u"yes"), S_OK, false},
        {CComVariant(true), E_FAIL, false},
        {CComVariant(DOUBLE{0.0}), S_OK, false},
    };
    for (const Case& c : cases) {
        auto decide = Function(c.result);
        decide->failure = c.failure;
        first->put_OnFilterMatches(decide.get());
        log.clear();
        EXPECT_EQ(chain->RunFilters(Packet({0x1C})), c.consumed);
        EXPECT_EQ(log.empty(), c.consumed);  // a consumed packet reaches no later filter
    }
}

TEST_F(FilterChain, MatchesPacketReplacesThePattern) {
    auto f = NewFilter();
    SetPattern(f.get(), {0x5C});
    auto decide = Function(CComVariant(true));
    auto matched = Function(CComVariant(), "match");
    auto failed = Function(CComVariant(), "fail");
    f->put_MatchesPacket(decide.get());
    f->put_OnFilterMatches(matched.get());
    f->put_OnFilterMatchFailed(failed.get());
    chain->RunFilters(Packet({0x1C}));  // the pattern would refuse it
    decide->result = CComVariant(false);
    chain->RunFilters(Packet({0x5C}));  // the pattern would take it
    decide->failure = E_FAIL;
    decide->result = CComVariant(true);
    chain->RunFilters(Packet({0x5C}));  // a failing test is no match
    EXPECT_EQ(log, (std::vector<std::string>{"match", "fail", "fail"}));
}

TEST_F(FilterChain, CallbacksFollowOnFilterMatchesOnlyOnAMatch) {
    auto f = NewFilter();
    SetPattern(f.get(), {0x1C});
    ComPtr<IGenericCollection> callbacks;
    ASSERT_EQ(f->get_Callbacks(callbacks.put()), S_OK);
    auto a = Function(CComVariant(true), "a");
    auto b = Function(CComVariant(), "b");
    ASSERT_EQ(callbacks->Add(Object(a->GetUnknown())), S_OK);
    ASSERT_EQ(callbacks->Add(Object(b->GetUnknown())), S_OK);

    // Without OnFilterMatches the callbacks still run, and their results consume nothing.
    EXPECT_FALSE(chain->RunFilters(Packet({0x1C})));
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(a->Last().self.get(), nullptr);  // called without this
    ASSERT_TRUE(ComPtr<IDispatch>(a->Last().Object()).As<IPacket>());

    log.clear();
    auto matched = Function(CComVariant(true), "match");
    f->put_OnFilterMatches(matched.get());
    EXPECT_TRUE(chain->RunFilters(Packet({0x1C})));
    EXPECT_EQ(log, (std::vector<std::string>{"match", "a", "b"}));

    log.clear();
    chain->RunFilters(Packet({0x5C}));
    EXPECT_TRUE(log.empty());
}

TEST_F(FilterChain, DestroyNowRemovesTheFilterAfterThePass) {
    auto once = NewFilter();
    auto after = NewFilter();
    SetPattern(once.get(), {0x1C});
    SetPattern(after.get(), {0x1C});
    auto matched = Function(CComVariant(false), "once");
    matched->on_call = [&](IDispatch*) { once->put_DestroyNow(1); };
    auto later = Function(CComVariant(), "after");
    once->put_OnFilterMatches(matched.get());
    after->put_OnFilterMatches(later.get());

    LONG consumed = 7;
    chain->FilterAndPurge(Packet({0x1C}), &consumed);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"once", "after"}));  // the pass finished
    EXPECT_EQ(Count(), 1);
    // Leaving the chain released its functions.
    ComPtr<IDispatch> function;
    ASSERT_EQ(once->get_OnFilterMatches(function.put()), S_OK);
    EXPECT_EQ(function.get(), nullptr);

    log.clear();
    chain->FilterAndPurge(Packet({0x1C}), &consumed);
    EXPECT_EQ(log, (std::vector<std::string>{"after"}));
}

TEST_F(FilterChain, TheSameFilterTwiceRunsTwiceAndPriorityOrdersNothing) {
    auto a = NewFilter();
    auto b = NewFilter();
    ASSERT_EQ(chain->Add(Object(a->GetUnknown())), S_OK);
    EXPECT_EQ(Count(), 3);
    a->put_Priority(1);
    b->put_Priority(100);
    auto fa = Function(CComVariant(), "a");
    auto fb = Function(CComVariant(), "b");
    a->put_FilterPacket(fa.get());
    b->put_FilterPacket(fb.get());
    chain->RunFilters(Packet({}));
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "a"}));
    LONG priority = 0;
    EXPECT_EQ(b->get_Priority(&priority), S_OK);
    EXPECT_EQ(priority, 100);
}

TEST_F(FilterChain, RemoveChecksTheIndexAndCleansTheFilterUp) {
    auto f = NewFilter();
    SetPattern(f.get(), {1, 2});
    EXPECT_EQ(chain->Remove(-1), E_INVALIDARG);
    EXPECT_EQ(chain->Remove(1), E_INVALIDARG);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(chain->Remove(0), S_OK);
    EXPECT_EQ(Count(), 0);
    CComVariant pattern;
    ASSERT_EQ(f->get_PacketToMatch(&pattern), S_OK);
    EXPECT_EQ(pattern.parray->rgsabound[0].cElements, 0u);  // Cleanup emptied it

    // Only objects with a filter core go in.
    ComPtr<CDispExObject> bag;
    ASSERT_EQ(CDispExObject::Create(&bag), S_OK);
    EXPECT_EQ(chain->Add(Object(bag->GetUnknown())), E_NOINTERFACE);
    EXPECT_EQ(chain->Add(CComVariant(LONG{1})), E_NOINTERFACE);
    EXPECT_EQ(Count(), 0);
}

TEST_F(FilterChain, FiltersAddedDuringAPassRunFromTheNextPass) {
    auto f = NewFilter();
    auto added = NewFilter(false);
    auto late = Function(CComVariant(), "late");
    added->put_FilterPacket(late.get());
    auto adder = Function(CComVariant(), "adder");
    adder->on_call = [&](IDispatch*) { chain->Add(Object(added->GetUnknown())); };
    f->put_FilterPacket(adder.get());
    chain->RunFilters(Packet({}));
    EXPECT_EQ(log, (std::vector<std::string>{"adder"}));
    log.clear();
    adder->on_call = nullptr;
    chain->RunFilters(Packet({}));
    EXPECT_EQ(log, (std::vector<std::string>{"adder", "late"}));
}

std::vector<CComVariant> Elements(const VARIANT& array) {
    std::vector<CComVariant> out;
    EXPECT_EQ(array.vt, VT_ARRAY | VT_VARIANT);
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array.parray, 1, &lower);
    SafeArrayGetUBound(array.parray, 1, &upper);
    EXPECT_EQ(lower, 0);
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant v;
        SafeArrayGetElement(array.parray, &i, &v);
        out.push_back(v);
    }
    return out;
}

TEST_F(FilterChain, PacketToMatchKeepsBytesAndTurnsTheRestIntoWildcards) {
    auto f = NewFilter(false);
    CComVariant null;
    null.vt = VT_NULL;
    auto array = ScriptArray::Of({CComVariant(LONG{1}), null, CComVariant(LONG{300}),
                                  CComVariant(u"abc"), std::nullopt, CComVariant(u"7")});
    ASSERT_EQ(f->put_PacketToMatch(Object(array->GetUnknown())), S_OK);
    CComVariant out;
    ASSERT_EQ(f->get_PacketToMatch(&out), S_OK);
    auto elements = Elements(out);
    ASSERT_EQ(elements.size(), 5u);  // the hole added nothing
    EXPECT_EQ(elements[0].vt, VT_UI1);
    EXPECT_EQ(elements[0].bVal, 1);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(elements[i].vt, VT_EMPTY) << i;
    EXPECT_EQ(elements[4].vt, VT_UI1);
    EXPECT_EQ(elements[4].bVal, 7);

    // Values that are no array, or have no length, change nothing.
    EXPECT_EQ(f->put_PacketToMatch(CComVariant(LONG{5})), E_FAIL);
    auto no_length = ScriptArray::Bytes({1});
    no_length->length_name = u"size";
    EXPECT_EQ(f->put_PacketToMatch(Object(no_length->GetUnknown())), E_FAIL);
    ASSERT_EQ(f->get_PacketToMatch(&out), S_OK);
    EXPECT_EQ(Elements(out).size(), 5u);

    // An empty array empties the pattern but reports failure.
    EXPECT_EQ(f->put_PacketToMatch(Object(ScriptArray::Bytes({})->GetUnknown())), E_FAIL);
    ASSERT_EQ(f->get_PacketToMatch(&out), S_OK);
    EXPECT_TRUE(Elements(out).empty());
}

TEST_F(FilterChain, AfterDestroyEveryMemberFailsAndTheCoreStaysInTheChain) {
    auto f = NewFilter();
    auto whole = Function(CComVariant());
    f->put_FilterPacket(whole.get());
    BSTR name = SysAllocString(u"door");
    ASSERT_EQ(f->put_Name(name), S_OK);
    SysFreeString(name);
    BSTR read = nullptr;
    ASSERT_EQ(f->get_Name(&read), S_OK);
    EXPECT_EQ(std::u16string(read), u"door");
    SysFreeString(read);

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
    chain->RunFilters(Packet({}));
    EXPECT_EQ(whole->Calls(), 1);
    EXPECT_EQ(whole->Last().self.get(), nullptr);  // no Owner any more
}

TEST_F(FilterChain, FiltersAddedThroughAContextLeaveWithThePage) {
    ComPtr<IDataContext> context;
    ASSERT_EQ(CDataContext::Create(static_cast<IPacketFilters*>(chain.get()), context.put()), S_OK);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Add")};
    DISPID add = DISPID_UNKNOWN;
    ASSERT_EQ(context->GetIDsOfNames(IID_NULL, names, 1, 0x400, &add), S_OK);
    auto call_add = [&](std::vector<CComVariant> args) {
        DISPPARAMS p{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return context->Invoke(add, IID_NULL, 0x400, DISPATCH_METHOD, &p, nullptr, nullptr,
                               nullptr);
    };

    auto kept = NewFilter();  // added directly: not the page's
    auto page = NewFilter(false);
    ASSERT_EQ(call_add({Object(page->GetUnknown())}), S_OK);
    EXPECT_EQ(Count(), 2);
    // The hook refuses what is no filter, and other argument counts.
    ComPtr<CDispExObject> bag;
    ASSERT_EQ(CDispExObject::Create(&bag), S_OK);
    EXPECT_NE(call_add({Object(bag->GetUnknown())}), S_OK);
    EXPECT_NE(call_add({Object(page->GetUnknown()), Object(page->GetUnknown())}), S_OK);
    EXPECT_EQ(Count(), 2);

    ASSERT_EQ(context->DestroyDependantObjects(), S_OK);
    EXPECT_EQ(Count(), 1);
    auto remaining = chain->Snapshot();
    FilterBase* kept_core = nullptr;
    kept->GetFilter(&kept_core);
    EXPECT_EQ((*remaining)[0].get(), kept_core);
    ComPtr<IDestroy>(context.As<IDestroy>())->Destroy();
}

TEST_F(FilterChain, PassesOnAWorkerWhileScriptChangesTheChain) {
    auto f = NewFilter();
    SetPattern(f.get(), {0x1C});
    std::atomic<int> calls{0};
    auto matched = Function(CComVariant());
    matched->log = nullptr;
    matched->on_call = [&](IDispatch*) { ++calls; };
    f->put_OnFilterMatches(matched.get());
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            LONG consumed = 0;
            chain->FilterAndPurge(Packet({0x1C}), &consumed);
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto extra = NewFilter();
        SetPattern(extra.get(), {0x5C});
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

TEST(CallPacketFunction, ResultIsOneOnlyForTrueAndUntouchedOnFailure) {
    ref<PacketBase> packet(new COMPacket);
    ComPtr<IDispatch> object;
    ASSERT_EQ(GetPacketScriptObject(packet.get(), object.put()), S_OK);
    auto f = ScriptFunction::Returning(CComVariant(true));
    CComGITPtr2<IDispatch> holder(f.get());
    LONG result = 5;
    EXPECT_EQ(CallPacketFunction(object.get(), &result, holder), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(f->Last().self.get(), nullptr);
    f->result = CComVariant(u"true?");
    EXPECT_EQ(CallPacketFunction(object.get(), &result, holder, object.get()), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(f->Last().self.get(), object.get());
    f->failure = E_UNEXPECTED;
    result = 5;
    EXPECT_EQ(CallPacketFunction(object.get(), &result, holder), E_UNEXPECTED);
    EXPECT_EQ(result, 5);
    EXPECT_EQ(CallPacketFunction(object.get(), &result, CComGITPtr2<IDispatch>()), E_FAIL);
}

TEST(PacketFilterClass, AnswersItsInterfaces) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(CreateComInstance<CPacketFilter>(nullptr, IID_IUnknown, object.put_void()), S_OK);
    EXPECT_TRUE(object.As<IPacketFilter>());
    EXPECT_TRUE(object.As<IObjectSafety>());
    EXPECT_TRUE(object.As<IReadOnlyTest>());
    EXPECT_FALSE(IsAgileObject(object.get()));
    LONG enable = 0, destroy = 7;
    ComPtr<IPacketFilter> f = object.As<IPacketFilter>();
    EXPECT_EQ(f->get_Enable(&enable), S_OK);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(f->get_DestroyNow(&destroy), S_OK);
    EXPECT_EQ(destroy, 0);
    EXPECT_EQ(f->get_Enable(nullptr), E_POINTER);
    f = nullptr;
    object.As<IDestroy>()->Destroy();
}

}  // namespace
