// The port object: its members, and frames on a virtual bus (brevanto-bus joins the port's
// drop "panel" and a drop "other" that plays another device).
#include <gtest/gtest.h>

#include "global/global.h"
#include "network/network_handler.h"
#include "network/port_object.h"
#include "support/dispatch_results.h"
#include "support/late_bound.h"
#include "support/network_bus.h"
#include "support/network_scripts.h"
#include "support/variants.h"

namespace {

constexpr DWORD kBusPort = 42;      // "COM42:", the bus's panel drop
constexpr DWORD kMissingPort = 43;  // "COM43:", a device that does not exist

const Bytes kFrame = Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF});
// Sent after what is under test: when it has come through, anything earlier has too.
const Bytes kSentinel = Frame({0x1C, 0x06, 0x00, 0x01, 0x00, 0x00, 0xFF});

class PortOnBus : public BusTest {
  protected:
    void SetUp() override {
        StartBus(kBusPort);
        MapComPort(kMissingPort, kMissingDevice);
        global_ = New<CGlobal>();  // received packets go on only with a Global
        handler_ = New<CNetworkHandler>();
        port_ = &handler_->Port0();
        port_->put_PortNumber(kBusPort);
        port_in_ = Add(port_->InChain(), "port");
        handler_in_ = Add(handler_->InFilters(), "handler");
    }
    void TearDown() override {
        if (handler_) handler_->Destroy();
        if (global_) global_->Destroy();
    }

    ref<PacketRecorder> Add(CPacketFilters& chain, std::string name) {
        ref<PacketRecorder> filter(new PacketRecorder(std::move(name), journal_));
        chain.AppendFilter(filter);
        return filter;
    }
    // What the chains saw once `who` has seen the sentinel.
    std::vector<SeenPacket> UntilSentinelReaches(const std::string& who) {
        return journal_->WaitUntil([&](const auto& log) {
            for (const auto& seen : log)
                if (seen.who == who && seen.bytes == kSentinel) return true;
            return false;
        });
    }
    static std::string Who(const std::vector<SeenPacket>& log) {
        std::string text;
        for (const auto& seen : log)
            text += seen.who + (seen.bytes == kSentinel ? ":sentinel " : ":frame ");
        return text;
    }

    std::shared_ptr<PacketJournal> journal_ = std::make_shared<PacketJournal>();
    ComPtr<CGlobal> global_;
    ComPtr<CNetworkHandler> handler_;
    CPort* port_ = nullptr;
    ref<PacketRecorder> port_in_, handler_in_;
};

// A received frame passes the port's chain, then (with a Global) the handler's, unless the
// port's chain consumes it.
struct Delivery {
    const char* name;
    bool port_consumes, global;
    const char* last;  // the chain the sentinel reaches last
    const char* seen;
};
// Listed by name, not as bytes with addresses that change from run to run.
void PrintTo(const Delivery& d, std::ostream* os) {
    *os << d.name;
}
class Received : public PortOnBus, public ::testing::WithParamInterface<Delivery> {};

TEST_P(Received, FramesCarryThePortBitThroughTheChains) {
    const Delivery& d = GetParam();
    if (d.port_consumes) port_in_->consume = [](const Bytes& bytes) { return bytes != kSentinel; };
    if (!d.global) global_->Destroy();  // no longer the current Global
    ASSERT_EQ(port_->Open(), S_OK);
    ASSERT_EQ(port_->Open(), S_OK);  // an open port is reopened and receives as before
    OtherWrites(kFrame);
    OtherWrites(kSentinel);
    const auto log = UntilSentinelReaches(d.last);
    EXPECT_EQ(Who(log), d.seen);
    for (const auto& seen : log) {
        EXPECT_TRUE(seen.bytes == kSentinel || seen.bytes == kFrame);
        EXPECT_EQ(seen.port_number, 1u);
        EXPECT_EQ(seen.destination_ports, 2u);  // the default 3 without the port's own bit
    }
}

INSTANTIATE_TEST_SUITE_P(
    PortOnBus, Received,
    ::testing::Values(Delivery{"ByThePortChainThenTheHandlers", false, true, "handler",
                               "port:frame handler:frame port:sentinel handler:sentinel "},
                      Delivery{"ConsumedByThePortChain", true, true, "handler",
                               "port:frame port:sentinel handler:sentinel "},
                      Delivery{"WithoutAGlobal", false, false, "port",
                               "port:frame port:sentinel "}),
    [](const auto& info) { return std::string(info.param.name); });

// Packet objects go on the wire as they are. A bus that answers late gives back the echoes of
// two packets only after both went out: each is still the port's own, and neither reaches the
// chains as a received packet.
TEST_F(PortOnBus, PacketObjectsGoOutThemselvesAndLateEchoesAreStillThePortsOwn) {
    ASSERT_EQ(port_->Open(), S_OK);
    bus::BusProcess::Held held(bus_);
    auto sent = ScriptFunction::Returning(CComVariant());
    const Bytes first = Frame({0x1C, 0x02, 0x00, 0x01, 0x00, 0x00, 0xFF});
    const Bytes second = Frame({0x1C, 0x02, 0x00, 0x02, 0x00, 0x00, 0xFF});
    const ComPtr<CPacketOb> packets[] = {PacketObjectOf(first), PacketObjectOf(second)};
    ASSERT_EQ(packets[1]->put_PacketSent(sent.get()), S_OK);
    for (auto& packet : packets) {
        LONG result = -1;
        ASSERT_EQ(port_->SendPacket(static_cast<IPacket*>(packet.get()), &result), S_OK);
        EXPECT_EQ(result, 0);
    }
    EXPECT_TRUE(sent->WaitFor(1)) << "the second packet was not sent";
    held.Release();
    OtherWrites(kSentinel);
    EXPECT_EQ(Who(UntilSentinelReaches("handler")), "port:sentinel handler:sentinel ");
    Bytes wire = first;
    wire.insert(wire.end(), second.begin(), second.end());
    EXPECT_EQ(PanelWrote(wire.size()), wire);
}

// Open fails on a missing device, and Close always succeeds. After Destroy scripts may still
// open the port, but nobody takes its frames.
TEST_F(PortOnBus, OpenFailsOnAMissingDeviceCloseAlwaysSucceedsAfterDestroyNothingIsDelivered) {
    ASSERT_EQ(port_->Open(), S_OK);
    ASSERT_EQ(port_->Destroy(), S_OK);
    EXPECT_FALSE(port_->Transport().IsOpen());
    EXPECT_TRUE(port_->InChain().Filters().empty());
    port_in_ = Add(port_->InChain(), "port");
    ASSERT_EQ(port_->Open(), S_OK);
    OtherWrites(kFrame);
    bus_.TraceAtLeast(1);
    // The port thread reads what came in before it sends: once its own frame is on the bus,
    // the other one has been read.
    port_->Transport().QueuePacket(PacketOf(kSentinel));
    ASSERT_EQ(bus_.TraceAtLeast(2).size(), 2u);
    EXPECT_TRUE(journal_->All().empty());
    for (int closes = 0; closes < 2; ++closes) {
        EXPECT_EQ(port_->Close(), S_OK);
        EXPECT_FALSE(port_->Transport().IsOpen() || port_->Transport().IsRunning());
    }
    port_->put_PortNumber(kMissingPort);
    EXPECT_EQ(port_->Open(), E_FAIL);
    EXPECT_FALSE(port_->Transport().IsRunning());
}

TEST(PortObject, MembersAreReachableAndSendPacketQueuesWhatItCanReadAndOutFiltersLetThrough) {
    auto port = New<CPort>();
    IDispatch* d = static_cast<IPort*>(port.get());
    EXPECT_EQ(Got(d, IdOf(d, u"PortNumber")), "UI4 4294967295");
    EXPECT_EQ(port->get_PortNumber(nullptr), E_POINTER);
    ASSERT_EQ(CallName(d, u"portnumber", DISPATCH_PROPERTYPUT, {I4(7)}), S_OK);
    EXPECT_EQ(Got(d, IdOf(d, u"PortNumber")), "UI4 7");
    EXPECT_TRUE(port.As<_ICPort>() && port.As<IDestroy>());

    // The chain getters check their out pointer and replace what it held.
    EXPECT_EQ(port->get_InFilters(nullptr), E_POINTER);
    IPacketFilters* chain = nullptr;
    ASSERT_EQ(port->get_InFilters(&chain), S_OK);
    EXPECT_EQ(chain, static_cast<IPacketFilters*>(&port->InChain()));
    ASSERT_EQ(port->get_OutFilters(&chain), S_OK);  // releases the in-chain it held
    EXPECT_EQ(chain, static_cast<IPacketFilters*>(&port->OutChain()));
    chain->Release();

    // A library object over a plain packet (as a filter sees for an array send) goes as it is.
    ref<PacketBase> plain(new PacketBase);
    auto object = New<CPacketOb>(plain.get());
    LONG result = -1;
    EXPECT_EQ(port->SendPacket(static_cast<IPacket*>(object.get()), &result), S_OK);
    EXPECT_EQ(port->Transport().QueuedPackets(), 1u);
    result = -1;  // not written for what the assignment rules read
    // Something the assignment rules cannot read is reported and not queued.
    EXPECT_TRUE(FAILED(port->SendPacket(ArrayWithoutLength().get(), &result)));
    EXPECT_EQ(port->Transport().QueuedPackets(), 1u);
    // A closed port keeps what it is given, unless its OutFilters consume it.
    ref<PacketRecorder> out(new PacketRecorder);
    out->consume = [](const Bytes& bytes) { return bytes[1] == 2; };
    port->OutChain().AppendFilter(out);
    for (int area : {1, 2})
        EXPECT_EQ(
            port->SendPacket(ScriptArray::Bytes({0x1C, area, 0, 1, 0, 0, 0xFF}).get(), &result),
            S_OK);
    EXPECT_EQ(out->All().size(), 2u);
    EXPECT_EQ(port->Transport().QueuedPackets(), 2u);
    EXPECT_EQ(result, -1);
}

}  // namespace
