// The network handler: its setting, start and stop, the send path for packets and script
// arrays with its feedback copy, incoming routing, and a round trip over brevanto-bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus_process.h"
#include "filter_test_fakes.h"
#include "global/global.h"
#include "network/com_packet.h"
#include "network/filter_object.h"
#include "network/network_handler.h"
#include "network/packet_object.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

namespace {

using Bytes = std::vector<BYTE>;
using test_fakes::ScriptArray;
using test_fakes::ScriptFunction;

Bytes Frame(Bytes seven) {
    seven.push_back(PacketChecksum(seven.data()));
    return seven;
}

Bytes BytesOf(const ref<PacketBase>& packet) {
    Bytes bytes(packet->ByteCount());
    packet->CopyBytes(bytes.data(), static_cast<LONG>(bytes.size()));
    return bytes;
}

void SetPort0(std::optional<DWORD> number) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, CNetworkHandler::kSettingsKey), ERROR_SUCCESS);
    key.DeleteValue(CNetworkHandler::kPort0Value);
    if (number) {
        ASSERT_EQ(key.SetDWORDValue(CNetworkHandler::kPort0Value, *number), ERROR_SUCCESS);
    }
}

// Notes every packet a chain passes to it (the packet itself, and its transport facts at that
// moment) and consumes when told to.
class Recorder : public FilterBase {
  public:
    struct Seen {
        ref<PacketBase> packet;
        Bytes bytes;
        DWORD port_number;
        DWORD destination_ports;
    };

    void ProcessPacket(ref<PacketBase> packet, LONG* consumed) override {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(
                {packet, BytesOf(packet), packet->PortNumber, packet->DestinationPorts});
        }
        cv_.notify_all();
        *consumed = consume.load() ? 1 : 0;
    }
    std::vector<Seen> All() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    // Waits (bounded) until `done(seen)` holds; returns what was seen.
    template <class Done>
    std::vector<Seen> WaitUntil(Done done) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(5), [&] { return done(seen_); });
        return seen_;
    }

    std::atomic<bool> consume{false};

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Seen> seen_;
};

// A packet that is also the filter for its reply, as a packet with response is.
class ReplyPacket : public COMPacket, public FilterBase {
  public:
    bool WantsResponse() const override { return true; }
};

class NetworkHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPort0(43);  // mapped to no device: the port stays closed and keeps what it is given
        CRegKey key;
        ASSERT_EQ(key.Create(HKEY_CURRENT_USER, kSerialDeviceKey), ERROR_SUCCESS);
        ASSERT_EQ(key.SetStringValue(u"COM43:", u"/nonexistent/brevanto-tty"), ERROR_SUCCESS);
        ASSERT_EQ(MakeComObject(&handler_), S_OK);
        handler_->InFilters().AppendFilter(in_);
        handler_->OutFilters().AppendFilter(out_);
    }
    void TearDown() override { handler_->Destroy(); }

    std::size_t Queued() { return handler_->Port0().Transport().QueuedPackets(); }
    ComPtr<CPacketOb> NewPacket(const Bytes& bytes) {
        ComPtr<CPacketOb> packet;
        EXPECT_EQ(MakeComObject(&packet), S_OK);
        packet->Packet()->AssignBytes(bytes.data(), bytes.size());
        return packet;
    }

    ComPtr<CNetworkHandler> handler_;
    ref<Recorder> in_{new Recorder};
    ref<Recorder> out_{new Recorder};
};

TEST(NetworkHandlerSetting, Port0ComesFromTheSettingsStoreWithADefaultOfThree) {
    auto port_number = [] {
        ComPtr<CNetworkHandler> handler;
        EXPECT_EQ(MakeComObject(&handler), S_OK);
        ULONG number = 0;
        handler->Port0().get_PortNumber(&number);
        EXPECT_EQ(handler->Port0().PortMask(), 1u);
        EXPECT_EQ(handler->Port0().Transport().QueueLimit, 64u);
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

TEST_F(NetworkHandlerTest, PortAnswersOnlyWhileStartedAndForMasksWithItsBit) {
    IPort* port = nullptr;
    EXPECT_EQ(handler_->get_Port(1, &port), E_INVALIDARG);
    handler_->Start();  // the device is missing: started all the same
    EXPECT_TRUE(handler_->Started());
    EXPECT_EQ(handler_->get_Port(1, nullptr), E_POINTER);
    for (ULONG mask : {1u, 3u, 0xFFFFFFFFu}) {
        ASSERT_EQ(handler_->get_Port(mask, &port), S_OK) << mask;
        EXPECT_EQ(port, static_cast<IPort*>(&handler_->Port0()));
    }
    for (ULONG mask : {0u, 2u}) {
        EXPECT_EQ(handler_->get_Port(mask, &port), E_INVALIDARG) << mask;
        EXPECT_EQ(port, nullptr);
    }
    handler_->Stop();
    EXPECT_EQ(handler_->get_Port(1, &port), E_INVALIDARG);
}

TEST_F(NetworkHandlerTest, SendPacketDoesNothingUntilStartedAndAfterStopped) {
    auto array = ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF});
    LONG result = -1;
    EXPECT_EQ(handler_->SendPacket(array.get(), &result), S_FALSE);
    handler_->Start();
    handler_->Stop();
    EXPECT_EQ(handler_->SendPacket(array.get(), &result), S_FALSE);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(out_->All().empty());
    EXPECT_TRUE(in_->All().empty());
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(NetworkHandlerTest, APacketIsSentItselfAndAnotherObjectIsFedBackDecoded) {
    handler_->Start();
    auto packet = NewPacket(Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF}));
    LONG result = -1;
    ASSERT_EQ(handler_->SendPacket(static_cast<IPacket*>(packet.get()), &result), S_OK);
    EXPECT_EQ(result, 0);
    const auto out = out_->All();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].packet, packet->Packet());  // OutFilters see the object's own packet
    EXPECT_EQ(Queued(), 1u);
    const auto in = in_->All();
    ASSERT_EQ(in.size(), 1u);
    EXPECT_NE(in[0].packet, packet->Packet());
    EXPECT_EQ(in[0].bytes, BytesOf(packet->Packet()));
    EXPECT_EQ(in[0].destination_ports, 0u);
    LONG area = 0;
    EXPECT_TRUE(in[0].packet->Decoded.Get(DecodedPacket::kArea, &area));
    EXPECT_EQ(area, 5);
    EXPECT_EQ(packet->Packet()->DestinationPorts, 3u);  // the original is left as it was

    in_->consume = true;  // a consumed copy is reported
    ASSERT_EQ(handler_->SendPacket(static_cast<IPacket*>(packet.get()), &result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Queued(), 2u);
}

TEST_F(NetworkHandlerTest, OutFiltersConsumingAPacketStopsTheSendAndTheFeedback) {
    handler_->Start();
    out_->consume = true;
    auto packet = NewPacket(Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF}));
    LONG result = -1;
    ASSERT_EQ(handler_->SendPacket(static_cast<IPacket*>(packet.get()), &result), S_OK);
    EXPECT_EQ(result, 1);
    auto array = ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF});
    ASSERT_EQ(handler_->SendPacket(array.get(), &result), S_OK);
    EXPECT_EQ(out_->All().size(), 2u);
    EXPECT_TRUE(in_->All().empty());
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(NetworkHandlerTest, APacketForNoPortIsOnlyFedBack) {
    ref<PacketBase> packet(new COMPacket);
    const Bytes frame = Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF});
    packet->AssignBytes(frame.data(), frame.size());
    packet->DestinationPorts = 2;
    EXPECT_EQ(handler_->SendInternal(packet), 0);  // no start needed on this path
    EXPECT_EQ(Queued(), 0u);
    const auto in = in_->All();
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].destination_ports, 0u);
    EXPECT_TRUE(in[0].packet->Decoded.Has(DecodedPacket::kOpcode));
    packet->DestinationPorts = 1;
    handler_->SendInternal(packet);
    EXPECT_EQ(Queued(), 1u);  // queued although the port is closed
}

TEST_F(NetworkHandlerTest, ScriptArraysBecomePacketsWithAChecksumOnlyForSevenFrameBytes) {
    handler_->Start();
    LONG result = -1;
    auto logical = ScriptArray::Bytes({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF});
    ASSERT_EQ(handler_->SendPacket(logical.get(), &result), S_OK);
    EXPECT_EQ(result, -1);  // not reported for arrays
    auto other = ScriptArray::Bytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
    ASSERT_EQ(handler_->SendPacket(other.get(), &result), S_OK);
    auto eight = ScriptArray::Bytes({0x5C, 1, 2, 3, 4, 5, 6, 0x42});
    ASSERT_EQ(handler_->SendPacket(eight.get(), &result), S_OK);
    // Elements that are no byte repeat the one before.
    auto odd = ScriptArray::Of({CComVariant(LONG{9}), CComVariant(u"x"), CComVariant(LONG{300})});
    ASSERT_EQ(handler_->SendPacket(odd.get(), &result), S_OK);
    const auto out = out_->All();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].bytes, Frame({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(out[0].bytes[7], 0x99);
    EXPECT_EQ(out[1].bytes, (Bytes{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(out[2].bytes, (Bytes{0x5C, 1, 2, 3, 4, 5, 6, 0x42}));  // kept as given
    EXPECT_EQ(out[3].bytes, (Bytes{9, 9, 9}));
    EXPECT_EQ(Queued(), 4u);
}

TEST_F(NetworkHandlerTest, ArraysThatCannotBeReadWhollyAreRefusedWithNothingSent) {
    handler_->Start();
    LONG result = -1;
    std::vector<int> long_bytes(1025, 0xAC);
    EXPECT_EQ(handler_->SendPacket(ScriptArray::Bytes(long_bytes).get(), &result), E_INVALIDARG);
    // "length" says 8, the enumerator yields 7.
    std::vector<std::optional<CComVariant>> holes;
    for (int b : {0x1C, 1, 0, 1, 0, 0})
        holes.emplace_back(CComVariant(LONG{b}));
    holes.emplace_back(std::nullopt);
    holes.emplace_back(CComVariant(LONG{0xFF}));
    EXPECT_EQ(handler_->SendPacket(ScriptArray::Of(holes).get(), &result), E_INVALIDARG);
    auto no_length = ScriptArray::Bytes({1, 2, 3});
    no_length->length_name = u"size";
    EXPECT_EQ(handler_->SendPacket(no_length.get(), &result), E_INVALIDARG);
    auto no_enumerator = ScriptArray::Bytes({1, 2, 3});
    no_enumerator->named_enum = true;  // nothing under DISPID -4
    EXPECT_EQ(handler_->SendPacket(no_enumerator.get(), &result), E_INVALIDARG);
    EXPECT_EQ(handler_->SendPacket(nullptr, &result), E_INVALIDARG);
    EXPECT_TRUE(out_->All().empty());
    EXPECT_TRUE(in_->All().empty());
    EXPECT_EQ(Queued(), 0u);

    std::vector<int> longest(1024, 0xAC);  // one long frame is the most an array may hold
    EXPECT_EQ(handler_->SendPacket(ScriptArray::Bytes(longest).get(), &result), S_OK);
    ASSERT_EQ(out_->All().size(), 1u);
    EXPECT_EQ(out_->All()[0].bytes.size(), 1024u);
}

// The packet a script filter of OutFilters sees for an array send is a library-built one; the
// script may send it again like any other packet.
TEST_F(NetworkHandlerTest, AnOutFilterCanSendThePacketOfAnArraySendAgain) {
    handler_->Start();
    ComPtr<CPacketFilter> filter;
    ASSERT_EQ(MakeComObject(&filter), S_OK);
    ASSERT_EQ(filter->put_PacketToMatch(
                  CComVariant(static_cast<IDispatch*>(ScriptArray::Bytes({0x1C}).get()))),
              S_OK);
    auto resend = ScriptFunction::Returning(CComVariant());
    HRESULT resent = E_UNEXPECTED;
    LONG result = -1;
    resend->on_call = [&](IDispatch* packet) {
        if (resend->calls == 1) resent = handler_->SendPacket(packet, &result);
    };
    ASSERT_EQ(filter->put_OnFilterMatches(resend.get()), S_OK);
    ASSERT_EQ(handler_->OutFilters().Add(
                  CComVariant(static_cast<IDispatch*>(static_cast<IPacketFilter*>(filter.get())))),
              S_OK);

    ASSERT_EQ(handler_->SendPacket(ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF}).get(), nullptr),
              S_OK);
    EXPECT_EQ(resent, S_OK);
    EXPECT_EQ(result, 0);
    const auto out = out_->All();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].packet, out[0].packet);  // the same packet, not a copy
    EXPECT_EQ(Queued(), 2u);
    handler_->OutFilters().Destroy();
    filter->Destroy();
}

TEST_F(NetworkHandlerTest, APacketWithResponseJoinsInFiltersDisabledAsItsReplyFilter) {
    ref<ReplyPacket> packet(new ReplyPacket);
    const Bytes frame = Frame({0x1C, 0x05, 0x00, 0x63, 0x00, 0x00, 0xFF});
    packet->AssignBytes(frame.data(), frame.size());
    handler_->SendInternal(ref<PacketBase>(packet.get()));
    const auto chain = handler_->InFilters().Filters();
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain.back().get(), static_cast<FilterBase*>(packet.get()));
    EXPECT_EQ(packet->Enable.load(), 0);
    EXPECT_EQ(Queued(), 1u);
}

TEST_F(NetworkHandlerTest, IncomingSendsOnOnlyForItsPortBitThenRunsInFilters) {
    ref<PacketBase> packet(new COMPacket);
    const Bytes frame = Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF});
    packet->AssignBytes(frame.data(), frame.size());
    packet->DestinationPorts = 2;
    handler_->Incoming(packet);
    EXPECT_EQ(Queued(), 0u);
    packet->DestinationPorts = 1;
    handler_->Incoming(packet);
    EXPECT_EQ(Queued(), 1u);
    const auto in = in_->All();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].packet, packet);  // the received packet itself, no copy
    // The pass purges filters marked for destruction.
    in_->DestroyNow = 1;
    handler_->Incoming(packet);
    EXPECT_TRUE(handler_->InFilters().Filters().empty());
}

TEST_F(NetworkHandlerTest, ReadOnlyHooksWrapOnlyTheChainsAndRefuseNothing) {
    EXPECT_EQ(handler_->WrapResult(0x320), S_OK);
    EXPECT_EQ(handler_->WrapResult(0x321), S_OK);
    EXPECT_EQ(handler_->WrapResult(0x386), E_FAIL);
    EXPECT_EQ(handler_->WrapResult(0x322), E_FAIL);
    DISPID dispid = 0x322;
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    WORD flags = DISPATCH_METHOD;
    EXPECT_EQ(handler_->RewriteCall(&dispid, &params, &flags), S_OK);
    EXPECT_EQ(dispid, 0x322);
}

TEST_F(NetworkHandlerTest, DestroyClosesThePortAndEmptiesTheChains) {
    handler_->Start();
    ASSERT_EQ(handler_->Destroy(), S_OK);
    LONG count = -1;
    handler_->InFilters().get_Count(&count);
    EXPECT_EQ(count, 0);
    handler_->OutFilters().get_Count(&count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(handler_->Port0().Transport().Owner(), nullptr);
}

TEST_F(NetworkHandlerTest, SendPacketIsReachableByNameThroughDispatch) {
    handler_->Start();
    IDispatch* dispatch = static_cast<INetworkHandler*>(handler_.get());
    LPOLESTR name[] = {const_cast<LPOLESTR>(u"sendpacket")};
    DISPID dispid = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, name, 1, 0x400, &dispid), S_OK);
    EXPECT_EQ(dispid, 0x322);
    auto array = ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF});
    CComVariant argument(static_cast<IDispatch*>(array.get()));
    DISPPARAMS params{&argument, nullptr, 1, 0};
    CComVariant result;
    ASSERT_EQ(dispatch->Invoke(dispid, IID_NULL, 0x400, DISPATCH_METHOD, &params, &result, nullptr,
                               nullptr),
              S_OK);
    EXPECT_EQ(out_->All().size(), 1u);
    ComPtr<_ICNetworkHandler> hidden;
    EXPECT_EQ(handler_->QueryInterface(hidden.put()), S_OK);
    ComPtr<IReadOnlyTest> hooks;
    EXPECT_EQ(handler_->QueryInterface(hooks.put()), S_OK);
}

// ---- Over the bus: brevanto-bus joins port 0 ("panel") and another device ("other") ----

class NetworkHandlerOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ready()) << "brevanto-bus did not start";
        SetPort0(44);
        CRegKey key;
        ASSERT_EQ(key.Create(HKEY_CURRENT_USER, kSerialDeviceKey), ERROR_SUCCESS);
        const std::string panel = bus_.Drop("panel").string();
        ASSERT_EQ(key.SetStringValue(u"COM44:", std::u16string(panel.begin(), panel.end()).c_str()),
                  ERROR_SUCCESS);
        ASSERT_TRUE(other_.Open(bus_.Drop("other")));
        ASSERT_TRUE(other_.Configure(9600));
        ASSERT_EQ(MakeComObject(&global_), S_OK);  // received packets reach InFilters with one
        ASSERT_EQ(MakeComObject(&handler_), S_OK);
        handler_->InFilters().AppendFilter(in_);
        handler_->Start();
        ASSERT_TRUE(handler_->Port0().Transport().IsRunning());
    }
    void TearDown() override {
        if (handler_) {
            handler_->Stop();
            handler_->Destroy();
        }
        if (global_) global_->Destroy();
    }
    // Packets that came in from the bus (the feedback copies carry no port bit).
    static std::size_t Received(const std::vector<Recorder::Seen>& seen) {
        std::size_t count = 0;
        for (const auto& s : seen)
            count += s.port_number == 1;
        return count;
    }

    bus::BusProcess bus_;
    SerialDevice other_;
    ComPtr<CGlobal> global_;
    ComPtr<CNetworkHandler> handler_;
    ref<Recorder> in_{new Recorder};
};

TEST_F(NetworkHandlerOnBus, ASevenByteArrayGoesOutAsAFrameAndOnlyAnotherDropsCopyComesIn) {
    auto array = ScriptArray::Bytes({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF});
    ASSERT_EQ(handler_->SendPacket(array.get(), nullptr), S_OK);
    const Bytes frame = Frame({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF});
    auto trace = bus_.TraceAtLeast(1);
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].source, "panel");
    EXPECT_EQ(trace[0].bytes, frame);

    // The feedback copy came through at once; the echo is swallowed by the port.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto seen = in_->All();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].destination_ports, 0u);
    EXPECT_EQ(Received(seen), 0u);

    // The same frame from another device is traffic like any other.
    other_.Write(frame.data(), frame.size());
    seen = in_->WaitUntil([](const auto& s) { return Received(s) >= 1; });
    ASSERT_EQ(Received(seen), 1u);
    EXPECT_EQ(seen.back().bytes, frame);
    EXPECT_EQ(seen.back().destination_ports, 2u);
    EXPECT_EQ(bus_.TraceAtLeast(2).size(), 2u);
}

TEST_F(NetworkHandlerOnBus, TheGlobalsHandlerSendsFromScriptAndIsGoneAfterShutDown) {
    // The fixture's own handler lets go of the port first.
    handler_->Stop();
    handler_->Destroy();
    handler_ = nullptr;
    ComPtr<CGlobal> global;
    ASSERT_EQ(MakeComObject(&global), S_OK);
    INetworkHandler* network = nullptr;
    ASSERT_EQ(global->get_NetworkHandler(&network), S_OK);
    ASSERT_NE(network, nullptr);
    EXPECT_EQ(network, static_cast<INetworkHandler*>(&global->NetworkHandler()));
    auto array = ScriptArray::Bytes({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF});
    LONG result = -1;
    EXPECT_EQ(network->SendPacket(array.get(), &result), S_FALSE);  // not started yet
    ASSERT_EQ(global->Start(), S_OK);
    EXPECT_TRUE(global->NetworkHandler().Port0().Transport().IsRunning());

    // Global.NetworkHandler.SendPacket([...]) as a script makes it.
    IDispatch* root = static_cast<IGlobal*>(global.get());
    CComVariant handler;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(
        root->Invoke(0x2, IID_NULL, 0x400, DISPATCH_PROPERTYGET, &none, &handler, nullptr, nullptr),
        S_OK);
    ASSERT_EQ(handler.vt, VT_DISPATCH);
    CComVariant argument(static_cast<IDispatch*>(array.get()));
    DISPPARAMS params{&argument, nullptr, 1, 0};
    ASSERT_EQ(handler.pdispVal->Invoke(0x322, IID_NULL, 0x400, DISPATCH_METHOD, &params, nullptr,
                                       nullptr, nullptr),
              S_OK);
    const auto trace = bus_.TraceAtLeast(1);
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].bytes, Frame({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}));

    ASSERT_EQ(global->Destroy(), S_OK);
    EXPECT_FALSE(global->NetworkHandler().Port0().Transport().IsOpen());
    EXPECT_FALSE(global->NetworkHandler().Started());
    ASSERT_EQ(global->get_NetworkHandler(&network), S_OK);
    EXPECT_EQ(network, nullptr);
}

}  // namespace
