// The network handler: its setting, start and stop, the send path with its feedback copy, and
// incoming routing.
#include <gtest/gtest.h>

#include "global/global.h"
#include "network/default_filters.h"
#include "network/filter_object.h"
#include "network/network_handler.h"
#include "network/packet_object.h"
#include "support/late_bound.h"
#include "support/network_bus.h"
#include "support/network_scripts.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

using Sent = std::pair<HRESULT, LONG>;
const Bytes kFrame = Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF});

class NetworkHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseClosedPort0();
        handler_ = New<CNetworkHandler>();
        handler_->InFilters().AppendFilter(in_);
        handler_->OutFilters().AppendFilter(out_);
    }
    void TearDown() override { handler_->Destroy(); }

    std::size_t Queued() { return handler_->Port0().Transport().QueuedPackets(); }
    std::string ChainSizes() {  // InFilters, OutFilters, port 0's in-chain
        return std::to_string(handler_->InFilters().Filters().size()) +
               std::to_string(handler_->OutFilters().Filters().size()) +
               std::to_string(handler_->Port0().InChain().Filters().size());
    }
    // SendPacket's status and the result it wrote (-1: none).
    Sent Send(IDispatch* what) {
        LONG result = -1;
        const HRESULT hr = handler_->SendPacket(what, &result);
        return {hr, result};
    }
    // What the chains saw (bytes and destination ports at that moment) and the queue length.
    std::string Traffic() {
        std::string text;
        for (const auto& [name, recorder] : {std::pair{"out", out_}, {"in", in_}})
            for (const auto& seen : recorder->All())
                text += std::string(name) + " " + Hex(seen.bytes) + " to " +
                        std::to_string(seen.destination_ports) + "; ";
        return text + "queued " + std::to_string(Queued());
    }

    ComPtr<CNetworkHandler> handler_;
    ref<PacketRecorder> in_{new PacketRecorder};
    ref<PacketRecorder> out_{new PacketRecorder};
};

TEST(NetworkHandlerSetting, Port0ComesFromTheSettingsStoreWithADefaultOfThree) {
    auto port_number = [] {
        auto handler = New<CNetworkHandler>();
        ULONG number = 0;
        handler->Port0().get_PortNumber(&number);
        return number;
    };
    SetPort0(7);
    EXPECT_EQ(port_number(), 7u);
    SetPort0(std::nullopt);
    EXPECT_EQ(port_number(), 3u);
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, CNetworkHandler::kSettingsKey), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(CNetworkHandler::kPort0Value, u"9"), ERROR_SUCCESS);
    EXPECT_EQ(port_number(), 3u);  // a value of another type counts as missing
}

// Besides: built-in filters head the chains; only the chain getters' results are wrapped as
// script objects; Destroy empties the chains and destroys the port.
TEST_F(NetworkHandlerTest, PortAndSendPacketAnswerOnlyWhileStartedPacketsGoToPortsWithTheirBit) {
    EXPECT_EQ(ChainSizes(), "221");  // with a recorder in each of the handler's chains
    EXPECT_TRUE(dcast_ref<DefaultPacketFilters>(handler_->InFilters().Filters()[0]) &&
                dcast_ref<DefaultOutgoingFilters>(handler_->OutFilters().Filters()[0]) &&
                dcast_ref<BlockLongFramesExceptMe>(handler_->Port0().InChain().Filters()[0]));
    IPort* port = nullptr;
    auto array = ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF});
    EXPECT_EQ(Send(array.get()), Sent(S_FALSE, -1));
    handler_->Start();  // the device is missing: started all the same
    EXPECT_EQ(handler_->get_Port(1, nullptr), E_POINTER);
    for (auto [mask, has_bit] :
         {std::pair{1u, true}, {3u, true}, {0xFFFFFFFFu, true}, {0u, false}, {2u, false}}) {
        EXPECT_EQ(handler_->get_Port(mask, &port), has_bit ? S_OK : E_INVALIDARG) << mask;
        EXPECT_EQ(port, has_bit ? static_cast<IPort*>(&handler_->Port0()) : nullptr);
    }
    EXPECT_TRUE(handler_.As<_ICNetworkHandler>() && handler_.As<IReadOnlyTest>());
    for (auto [dispid, wrapped] :
         {std::pair{0x320, S_OK}, {0x321, S_OK}, {0x386, E_FAIL}, {0x322, E_FAIL}})
        EXPECT_EQ(handler_->WrapResult(dispid), wrapped) << dispid;
    handler_->Stop();
    EXPECT_EQ(handler_->get_Port(1, &port), E_INVALIDARG);
    EXPECT_EQ(Send(array.get()), Sent(S_FALSE, -1));
    EXPECT_EQ(Traffic(), "queued 0");
    // Sent by the library (no start needed on this path) or received, a packet goes to port 0
    // only with its bit, and even while the port is closed. A sent one is fed back as a copy; a
    // received one passes InFilters itself.
    ref<PacketBase> packet = PacketOf(kFrame);
    packet->DestinationPorts = 2;
    EXPECT_EQ(handler_->SendInternal(packet), 0);
    handler_->Incoming(packet);
    EXPECT_EQ(Traffic(),
              "out 1C 05 00 01 00 00 FF DF to 2; in 1C 05 00 01 00 00 FF DF to 0; "
              "in 1C 05 00 01 00 00 FF DF to 2; queued 0");
    EXPECT_EQ(in_->All()[1].packet, packet);
    packet->DestinationPorts = 1;
    handler_->SendInternal(packet);
    EXPECT_EQ(Queued(), 1u);
    handler_->Incoming(packet);
    EXPECT_EQ(Queued(), 2u);
    ASSERT_EQ(handler_->Destroy(), S_OK);
    EXPECT_EQ(ChainSizes(), "000");
}

TEST_F(NetworkHandlerTest, APacketIsSentItselfAndACopyFedBackUnlessOutFiltersConsumeIt) {
    handler_->Start();
    auto packet = PacketObjectOf(kFrame);
    EXPECT_EQ(Send(DispatchOf(packet.get())), Sent(S_OK, 0));
    EXPECT_EQ(Traffic(),
              "out 1C 05 00 01 00 00 FF DF to 3; in 1C 05 00 01 00 00 FF DF to 0; queued 1");
    EXPECT_EQ(out_->All()[0].packet, packet->Packet());  // OutFilters see the object's own packet
    EXPECT_EQ(packet->Packet()->DestinationPorts, 3u);   // the original is left as it was

    in_->consume = ConsumeAll;  // a consumed copy is reported, and the packet still queued
    EXPECT_EQ(Send(DispatchOf(packet.get())), Sent(S_OK, 1));

    // What OutFilters consume, packet or array (here sent as a script calls by name), is
    // neither queued nor fed back.
    out_->consume = ConsumeAll;
    EXPECT_EQ(Send(DispatchOf(packet.get())), Sent(S_OK, 1));
    EXPECT_EQ(CallName(static_cast<INetworkHandler*>(handler_.get()), u"sendpacket",
                       DISPATCH_METHOD, {ArrayValue({0x1C, 1, 0, 1, 0, 0, 0xFF})}),
              S_OK);
    EXPECT_EQ(Hex(out_->All().back().bytes), "1C 01 00 01 00 00 FF E3");
    EXPECT_EQ(in_->All().size(), 2u);
    EXPECT_EQ(Queued(), 2u);
}

TEST_F(NetworkHandlerTest, ArraysReadWholeBecomePacketsThatOutFiltersMaySendAgain) {
    handler_->Start();
    handler_->InFilters().Filters()[0]->SetEnable(0);  // the built-in filter decodes on its own
    const struct {
        ComPtr<ScriptArray> array;
        const char* sent;
    } cases[] = {
        {ScriptArray::Bytes({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}), "1C 01 03 48 00 00 FF 99"},
        {ScriptArray::Bytes({0x1C, 0xE4, 0, 0, 0, 0, 0}), "1C E4 00 00 00 00 00 00"},  // 256
        {ScriptArray::Bytes({1, 2, 3, 4, 5, 6, 7}), "01 02 03 04 05 06 07"},
        {ScriptArray::Bytes({0x5C, 1, 2, 3, 4, 5, 6, 0x42}), "5C 01 02 03 04 05 06 42"},
        // Elements that are no byte repeat the one before.
        {ScriptArray::Of({I4(9), CComVariant(u"x"), I4(300)}), "09 09 09"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Send(c.array.get()), Sent(S_OK, -1));  // not reported for arrays
        EXPECT_EQ(Hex(out_->All().back().bytes), c.sent);
    }
    // The copy fed back carries its decoded header, as a received frame does.
    LONG opcode = 0;
    EXPECT_TRUE(in_->All()[0].packet->Decoded.Get(DecodedPacket::kOpcode, &opcode));
    EXPECT_EQ(opcode, 0x48);
    // Arrays that cannot be read whole are refused with nothing sent. "length" says 8, the
    // enumerator yields 7.
    auto holes =
        ScriptArray::Of({I4(0x1C), I4(1), I4(0), I4(1), I4(0), I4(0), std::nullopt, I4(0xFF)});
    auto no_enumerator = ScriptArray::Bytes({1, 2, 3});
    no_enumerator->named_enum = true;  // nothing under DISPID -4
    const ComPtr<ScriptArray> refused[] = {holes, ArrayWithoutLength(), no_enumerator, nullptr};
    for (const auto& array : refused)
        EXPECT_EQ(Send(array.get()), Sent(E_INVALIDARG, -1));
    // One long frame is the most an array may hold.
    EXPECT_EQ(handler_->SendPacket(ScriptArray::Bytes(std::vector<int>(1024, 0xAC)).get(), nullptr),
              S_OK);
    EXPECT_EQ(out_->All().back().bytes.size(), 1024u);

    // The packet a script filter of OutFilters sees for an array send is a library-built one;
    // the script may send it again like any other packet.
    auto filter = New<CPacketFilter>();
    ASSERT_EQ(filter->put_PacketToMatch(ArrayValue({0x1C})), S_OK);
    auto resend = ScriptFunction::Returning(CComVariant());
    HRESULT resent = E_UNEXPECTED;
    LONG result = -1;
    resend->on_call = [&](IDispatch* packet) {
        if (resend->Calls() == 1) resent = handler_->SendPacket(packet, &result);
    };
    ASSERT_EQ(filter->put_OnFilterMatches(resend.get()), S_OK);
    ASSERT_EQ(handler_->OutFilters().Add(AsVariant(filter->GetUnknown())), S_OK);
    const std::size_t queued = Queued();
    ASSERT_EQ(handler_->SendPacket(ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF}).get(), nullptr),
              S_OK);
    EXPECT_EQ(resent, S_OK);
    EXPECT_EQ(result, 0);
    const auto out = out_->All();
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out[7].packet, out[6].packet);  // the same packet, not a copy
    EXPECT_EQ(Queued(), queued + 2);
    handler_->OutFilters().Destroy();
    filter->Destroy();
}

using GlobalOnBus = BusTest;

TEST_F(GlobalOnBus, TheGlobalsHandlerSendsOnceStartedAndIsGoneAfterShutDown) {
    ASSERT_NO_FATAL_FAILURE(StartBus(44));  // brevanto-bus joins port 0 as the handler opens it
    SetPort0(44);
    auto global = New<CGlobal>();
    INetworkHandler* network = nullptr;
    ASSERT_EQ(global->get_NetworkHandler(&network), S_OK);
    EXPECT_EQ(network, static_cast<INetworkHandler*>(&global->NetworkHandler()));
    auto array = ScriptArray::Bytes({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF});
    LONG result = -1;
    EXPECT_EQ(network->SendPacket(array.get(), &result), S_FALSE);  // not started yet
    ASSERT_EQ(global->Start(), S_OK);
    ASSERT_EQ(network->SendPacket(array.get(), &result), S_OK);
    EXPECT_EQ(PanelWrote(8), Frame({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}));

    ASSERT_EQ(global->Destroy(), S_OK);
    EXPECT_FALSE(global->NetworkHandler().Started());
    ASSERT_EQ(global->get_NetworkHandler(&network), S_OK);
    EXPECT_EQ(network, nullptr);
}

}  // namespace
