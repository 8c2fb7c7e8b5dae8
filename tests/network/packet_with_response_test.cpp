// Packets with response: the object, and its exchanges on the test clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>

#include "network/com_filter_with_response.h"
#include "network/network_handler.h"
#include "network/packet_with_response_object.h"
#include "platform/clock.h"
#include "support/dispatch_results.h"
#include "support/late_bound.h"
#include "support/network_scripts.h"
#include "support/variants.h"

namespace {

const Bytes kQuestion = Frame({0x1C, 0x01, 0x00, 0x63, 0x00, 0x00, 0xFF});
const Bytes kReply = Frame({0x1C, 0x01, 0x02, 0x62, 0x00, 0x00, 0xFF});
const std::vector<int> kReplyPattern = {0x1C, 0x01, FilterBase::kAnyByte, 0x62};
constexpr DWORD kStart = 5000;

class PacketWithResponseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseClosedPort0();  // the test plays the port
        // Port 1's queue is a log of "send@<ms since the start>"; the test reports each
        // transmission itself.
        global_.on_queue = [this](DWORD port_mask, ref<PacketBase>) {
            if (port_mask != 1) return false;
            events_.Add("send@" + std::to_string(GetTickCount() - kStart));
            return true;
        };
        handler_ = New<CNetworkHandler>();
        handler_->Start();
        object_ = New<CPacketWithResponse>();
        ASSERT_EQ(object_->Assign(ArrayValue({0x1C, 1, 0, 0x63, 0, 0, 0xFF})), S_OK);
        ASSERT_EQ(object_->put_PacketToMatch(ArrayValue(kReplyPattern)), S_OK);
        on_timeout_->on_call = [this](IDispatch*) {
            events_.Add("timeout@" + std::to_string(GetTickCount() - kStart));
        };
        ASSERT_EQ(object_->put_OnTimeout(on_timeout_.get()), S_OK);
        ASSERT_EQ(object_->put_OnFilterMatches(on_reply_.get()), S_OK);
    }
    void TearDown() override {
        object_->Destroy();
        handler_->Destroy();
    }

    ref<COMFilterWithResponse> Internal() { return object_->Internal(); }
    LONG Send() {
        LONG result = -1;
        EXPECT_EQ(handler_->SendPacket(static_cast<IPacket*>(object_.get()), &result), S_OK);
        return result;
    }
    // The port wrote the packet now.
    void Transmitted() { Internal()->MarkSent(1, GetTickCount()); }
    // Runs the clock up to `ms` after the start, one millisecond short first so that an early
    // event shows; plays the port for every send. The events since the start, space-separated.
    std::string RunUntil(DWORD ms) {
        const std::size_t before = events_.Size();
        TestClock::Set(kStart + ms - 1);
        global_.Settle();
        EXPECT_EQ(events_.Size(), before) << "an event before " << ms << " ms";
        TestClock::Set(kStart + ms);
        global_.Settle();
        for (const std::string& e : events_.All())
            if (e == "send@" + std::to_string(ms)) Transmitted();
        return Events();
    }
    std::string Events() { return Joined(events_.All()); }
    // The filters of InFilters after the built-in one that heads it.
    LONG InCount() { return static_cast<LONG>(handler_->InFilters().Filters().size()) - 1; }

    ScopedTestClock clock_{kStart};
    WaitableLog<std::string> events_;
    FakeNetworkGlobal global_;
    ComPtr<CNetworkHandler> handler_;
    ComPtr<CPacketWithResponse> object_;
    ComPtr<ScriptFunction> on_timeout_ = ScriptFunction::Returning(CComVariant());
    ComPtr<ScriptFunction> on_reply_ = ScriptFunction::Returning(CComVariant(false));
};

TEST_F(PacketWithResponseTest, ANewObjectIsADisabledFilterForPortZero) {
    LONG retries = -1, timeout = -1, enable = -1;
    ULONG ports = 0;
    ASSERT_EQ(object_->get_Retries(&retries) | object_->get_Timeout(&timeout) |
                  object_->get_Enable(&enable) | object_->get_DestinationPorts(&ports),
              S_OK);
    EXPECT_EQ(std::tuple(retries, timeout, enable, ports), std::tuple(3, 100, 0, 1u));
    ComPtr<IUnknown> unknown(object_->GetUnknown());
    EXPECT_TRUE(unknown.As<IPacketWithResponse>() && unknown.As<IPacketFilter>() &&
                unknown.As<IDestroy>() && unknown.As<IObjectSafety>());
    FilterBase* filter = nullptr;
    PacketBase* packet = nullptr;
    ASSERT_EQ(object_->GetFilter(&filter) | object_->GetPacket(&packet), S_OK);
    EXPECT_TRUE(filter == Internal().get() && packet == Internal().get());
    // Names reach the members of each interface through the script's IDispatch.
    ComPtr<IDispatch> dispatch = unknown.As<IDispatch>();
    for (const char16_t* name : {u"Retries", u"OnTimeout", u"Enable", u"Opcode"})
        EXPECT_EQ(LookUp(dispatch.get(), name), S_OK) << Utf16ToUtf8(name);
    // Byte names reach the packet's bytes through either face, as on a Packet; "8" is past the
    // last byte and no byte name.
    ComPtr<IPacket> packet_face = unknown.As<IPacket>();
    for (IDispatch* face : {dispatch.get(), static_cast<IDispatch*>(packet_face.get())}) {
        const DISPID id = IdOf(face, u"3");
        EXPECT_EQ(Call(face, id, DISPATCH_PROPERTYPUT, {I4(0x64)}), S_OK);
        EXPECT_EQ(Got(face, id), "UI1 100");
        CComVariant value;  // the packet's own
        EXPECT_EQ(Answer(object_->get_Item(I4(3), &value), value), "UI1 100");
        object_->put_Item(I4(3), I4(0x63));
        DISPID past = 0;
        LookUp(face, u"8", &past);
        EXPECT_FALSE(packet_bytes::IsByteDispid(past));
    }
}

struct Schedule {
    LONG retries;
    LONG timeout;
    LONG timeout_after_first;  // 0: unchanged
    std::vector<DWORD> steps;  // the times the clock is run to
    std::string events;
    bool first_discarded = false;  // the port's full queue discarded the first transmission
};
void PrintTo(const Schedule& s, std::ostream* os) {
    *os << s.events;
}

class RetrySchedule : public PacketWithResponseTest,
                      public ::testing::WithParamInterface<Schedule> {};

TEST_P(RetrySchedule, DoublesTheWaitThenGivesUpOnce) {
    const Schedule& s = GetParam();
    object_->put_Retries(s.retries);
    object_->put_Timeout(s.timeout);
    EXPECT_EQ(Send(), 0);
    if (s.first_discarded)
        Internal()->MarkDiscarded(1);
    else
        Transmitted();
    if (s.timeout_after_first) object_->put_Timeout(s.timeout_after_first);
    std::string events;
    for (DWORD step : s.steps)
        events = RunUntil(step);
    EXPECT_EQ(events, s.events);
    // Nothing more, however long the line stays quiet.
    TestClock::Set(kStart + 60000);
    global_.Settle();
    EXPECT_EQ(Events(), s.events);
    ASSERT_EQ(on_timeout_->Calls(), 1);
    const ScriptCall call = on_timeout_->Last();
    EXPECT_TRUE(SameObject(call.Object(), object_->GetUnknown()));
    EXPECT_TRUE(SameObject(call.self.get(), object_->GetUnknown()));
    EXPECT_EQ(on_reply_->Calls(), 0);
    // The next packet through InFilters takes the finished filter out.
    handler_->Incoming(PacketOf(kQuestion));
    EXPECT_EQ(InCount(), 0);
}

// The doubled wait is 32-bit, as Timeout is: past 32 bits it keeps the low 32 bits. The lowest
// Retries is one transmission, as any below 2 is: no retry, the wait stays.
TEST(PacketTimeOutTimer, RetriesAndWaitsStay32Bit) {
    ref<PacketTimeOutTimer> timer(new PacketTimeOutTimer);
    timer->RemainingRetries = 3;
    timer->CurrentTimeout = 0x60000000;
    EXPECT_FALSE(timer->Retry());  // nothing to send
    EXPECT_EQ(timer->period(), static_cast<LONG>(0xC0000000u));
    timer->RemainingRetries = INT32_MIN;
    EXPECT_FALSE(timer->Retry());
    EXPECT_EQ(timer->period(), static_cast<LONG>(0xC0000000u));
}

// The first row sets Timeout anew after the first transmission: the exchange keeps its schedule.
INSTANTIATE_TEST_SUITE_P(
    PacketWithResponse, RetrySchedule,
    ::testing::Values(Schedule{3, 100, 1000, {100, 300, 700}, "send@100 send@300 timeout@700"},
                      Schedule{1, 100, 0, {100}, "timeout@100"},
                      Schedule{0, 250, 0, {250}, "timeout@250"},
                      Schedule{2, 40, 0, {40, 120}, "send@40 timeout@120"},
                      Schedule{2, 40, 0, {40, 120}, "send@40 timeout@120", true}),
    [](const ::testing::TestParamInfo<Schedule>& info) {
        const Schedule& s = info.param;
        return "Retries" + std::to_string(s.retries) + "Timeout" + std::to_string(s.timeout) +
               (s.timeout_after_first ? "ThenSetTo" + std::to_string(s.timeout_after_first) : "") +
               (s.first_discarded ? "FirstDiscarded" : "");
    });

// The parameter is what OnFilterMatches answers: true consumes the reply. The pattern and the
// functions stay the object's: sending again starts a fresh exchange with no new setup.
class Reply : public PacketWithResponseTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Reply, EndsTheExchangeAndConsumesWhenTheFunctionSaysSoAndSendingAgainStartsAfresh) {
    on_reply_->result = CComVariant(GetParam());
    object_->put_Retries(2);
    EXPECT_EQ(Send(), 0);
    Send();  // before the first transmission: still one filter in InFilters
    EXPECT_EQ(InCount(), 1);
    EXPECT_EQ(on_reply_->Calls(), 0) << "its own feedback copy is no reply";
    ref<PacketRecorder> later(new PacketRecorder);
    handler_->InFilters().AppendFilter(later);
    Transmitted();
    RunUntil(50);
    handler_->Incoming(PacketOf(kReply));
    ASSERT_EQ(on_reply_->Calls(), 1);
    EXPECT_TRUE(SameObject(on_reply_->Last().self.get(), object_->GetUnknown()));
    EXPECT_EQ(later->All().size(), GetParam() ? 0u : 1u) << "a consumed reply goes no further";
    EXPECT_EQ(InCount(), 1) << "answered: out of InFilters after the pass";
    handler_->Incoming(PacketOf(kReply));
    EXPECT_EQ(RunUntil(1000), "") << "no retry and no time-out after the reply";

    Send();
    Transmitted();
    EXPECT_EQ(RunUntil(1100), "send@1100");
    EXPECT_EQ(RunUntil(1300), "send@1100 timeout@1300");
    handler_->Incoming(PacketOf(kReply));  // after the time-out it still matches, until the purge
    EXPECT_EQ(InCount(), 1);
    EXPECT_EQ(on_reply_->Calls(), 2);
}

INSTANTIATE_TEST_SUITE_P(PacketWithResponse, Reply, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Consumed" : "PassedOn");
});

// While a retry waits in the port's queue, only the queue holds the packet: the idle timer
// holds nothing, so a packet that leaves the queue unsent takes its filter with it.
TEST_F(PacketWithResponseTest, AnIdleTimerHoldsNothingAndDestroyEndsTheExchange) {
    Send();
    const LONG held = Internal()->RefCount();
    Transmitted();
    TestClock::Set(kStart + 100);
    global_.Settle();  // the retry is queued, and the port does not send it
    EXPECT_EQ(Events(), "send@100");
    EXPECT_EQ(Internal()->RefCount(), held);
    ComPtr<IPacketWithResponse> face(static_cast<IPacketWithResponse*>(object_.get()));
    LONG value = 0;
    ComPtr<IDispatch> function;
    EXPECT_EQ(face->get_Retries(nullptr), E_POINTER);
    EXPECT_EQ(face->get_OnTimeout(nullptr), E_POINTER);
    EXPECT_EQ(face->put_OnTimeout(nullptr), S_OK);
    EXPECT_EQ(face->get_OnTimeout(function.put()), S_OK);
    EXPECT_FALSE(function);
    EXPECT_EQ(face->put_OnTimeout(on_timeout_.get()), S_OK);
    ref<COMFilterWithResponse> internal = Internal();
    EXPECT_EQ(object_->Destroy(), S_OK);
    internal->MarkSent(1, GetTickCount());  // the retry still queued at Destroy
    const std::vector<std::function<HRESULT()>> members = {
        [&] { return face->get_Retries(&value); },
        [&] { return face->put_Timeout(5); },
        [&] { return face->get_OnTimeout(function.put()); },
        [&] { return face->put_OnTimeout(nullptr); },
        [&] { return face->get_Enable(&value); },
        [&] { return face->put_PacketToMatch(CComVariant()); },
        [&] { return face->get_Count(&value); },
        [&] { return face->Assign(CComVariant()); },
        [&] { return static_cast<IPacket*>(object_.get())->QuickDecode(); },
    };
    for (std::size_t i = 0; i < members.size(); ++i)
        EXPECT_EQ(members[i](), E_FAIL) << "member " << i;
    EXPECT_EQ(RunUntil(1000), "send@100") << "no retry and no call after Destroy";
}

}  // namespace
