// The port object: its members, and received frames on a virtual bus (brevanto-bus joins the
// port's pseudo-terminal "panel" and a drop "other" that plays another device).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus_process.h"
#include "filter_test_fakes.h"
#include "global/global.h"
#include "network/network_handler.h"
#include "network/packet_object.h"
#include "network/port_object.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

namespace {

using Bytes = std::vector<BYTE>;
using test_fakes::ScriptArray;

constexpr DWORD kBusPort = 42;      // "COM42:", the bus's panel drop
constexpr DWORD kMissingPort = 43;  // "COM43:", a device that does not exist

Bytes Frame(Bytes seven) {
    seven.push_back(PacketChecksum(seven.data()));
    return seven;
}

Bytes BytesOf(const ref<PacketBase>& packet) {
    Bytes bytes(packet->ByteCount());
    packet->CopyBytes(bytes.data(), static_cast<LONG>(bytes.size()));
    return bytes;
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// A chain member that notes every packet it sees (with its transport facts at that moment)
// and consumes when told to.
class Recorder : public FilterBase {
  public:
    struct Seen {
        std::string who;
        Bytes bytes;
        DWORD port_number;
        DWORD destination_ports;
    };
    Recorder(std::string name, std::vector<Seen>* log, std::mutex* mutex,
             std::condition_variable* cv)
        : name_(std::move(name)), log_(log), mutex_(mutex), cv_(cv) {}

    void ProcessPacket(ref<PacketBase> packet, LONG* consumed) override {
        {
            std::lock_guard lock(*mutex_);
            log_->push_back({name_, BytesOf(packet), packet->PortNumber, packet->DestinationPorts});
        }
        cv_->notify_all();
        *consumed = consume.load() ? 1 : 0;
    }

    std::atomic<bool> consume{false};

  private:
    std::string name_;
    std::vector<Seen>* log_;
    std::mutex* mutex_;
    std::condition_variable* cv_;
};

class PortOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ready()) << "brevanto-bus did not start";
        CRegKey key;
        ASSERT_EQ(key.Create(HKEY_CURRENT_USER, kSerialDeviceKey), ERROR_SUCCESS);
        ASSERT_EQ(key.SetStringValue(u"COM42:", Wide(bus_.Drop("panel").string()).c_str()),
                  ERROR_SUCCESS);
        ASSERT_EQ(key.SetStringValue(u"COM43:", u"/nonexistent/brevanto-tty"), ERROR_SUCCESS);
        ASSERT_TRUE(other_.Open(bus_.Drop("other")));
        ASSERT_TRUE(other_.Configure(9600));
        ASSERT_EQ(MakeComObject(&global_), S_OK);  // received packets go on only with a Global
        ASSERT_EQ(MakeComObject(&handler_), S_OK);
        port_ = &handler_->Port0();
        port_->put_PortNumber(kBusPort);
        port_in_ = Add(port_->InChain(), "port");
        handler_in_ = Add(handler_->InFilters(), "handler");
    }
    void TearDown() override {
        if (handler_) handler_->Destroy();
        if (global_) global_->Destroy();
    }

    ref<Recorder> Add(CPacketFilters& chain, std::string name) {
        ref<Recorder> filter(new Recorder(std::move(name), &log_, &mutex_, &cv_));
        chain.AppendFilter(filter);
        return filter;
    }
    std::vector<Recorder::Seen> WaitForLog(std::size_t count) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(5), [&] { return log_.size() >= count; });
        return log_;
    }
    void OtherWrites(const Bytes& bytes) { other_.Write(bytes.data(), bytes.size()); }

    bus::BusProcess bus_;
    SerialDevice other_;
    ComPtr<CGlobal> global_;
    ComPtr<CNetworkHandler> handler_;
    CPort* port_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Recorder::Seen> log_;
    ref<Recorder> port_in_, handler_in_;
};

TEST_F(PortOnBus, ReceivedFrameCarriesThePortBitAndPassesThePortChainThenTheHandlers) {
    ASSERT_EQ(port_->Open(), S_OK);
    const Bytes frame = Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF});
    OtherWrites(frame);
    const auto log = WaitForLog(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].who, "port");
    EXPECT_EQ(log[1].who, "handler");
    for (const auto& seen : log) {
        EXPECT_EQ(seen.bytes, frame);
        EXPECT_EQ(seen.port_number, 1u);
        EXPECT_EQ(seen.destination_ports, 2u);  // the default 3 without the port's own bit
    }
}

TEST_F(PortOnBus, AFrameThePortChainConsumesNeverReachesTheHandler) {
    port_in_->consume = true;
    ASSERT_EQ(port_->Open(), S_OK);
    OtherWrites(Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF}));
    WaitForLog(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto log = WaitForLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].who, "port");
}

TEST_F(PortOnBus, WithoutAGlobalFramesEndWithThePortChain) {
    global_->Destroy();  // no longer the current Global
    ASSERT_EQ(port_->Open(), S_OK);
    OtherWrites(Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF}));
    WaitForLog(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto log = WaitForLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].who, "port");
}

TEST_F(PortOnBus, OpenFailsOnAMissingDeviceAndCloseAlwaysSucceeds) {
    port_->put_PortNumber(kMissingPort);
    EXPECT_EQ(port_->Open(), E_FAIL);
    EXPECT_FALSE(port_->Transport().IsRunning());
    EXPECT_EQ(port_->Close(), S_OK);
    port_->put_PortNumber(kBusPort);
    EXPECT_EQ(port_->Open(), S_OK);
    EXPECT_TRUE(port_->Transport().IsRunning());
    EXPECT_EQ(port_->Open(), S_OK);  // an open port is reopened
    EXPECT_EQ(port_->Close(), S_OK);
    EXPECT_FALSE(port_->Transport().IsOpen());
    EXPECT_EQ(port_->Close(), S_OK);
}

TEST_F(PortOnBus, SendPacketSendsThePacketObjectItselfAndScriptArraysAsNewPackets) {
    ASSERT_EQ(port_->Open(), S_OK);
    ComPtr<CPacketOb> packet;
    ASSERT_EQ(MakeComObject(&packet), S_OK);
    const Bytes preset = Frame({0x1C, 0x02, 0x00, 0x01, 0x00, 0x00, 0xFF});
    packet->Packet()->AssignBytes(preset.data(), preset.size());
    LONG result = -1;
    ASSERT_EQ(port_->SendPacket(static_cast<IPacket*>(packet.get()), &result), S_OK);
    EXPECT_EQ(result, 0);
    auto trace = bus_.TraceAtLeast(1);
    ASSERT_GE(trace.size(), 1u);
    EXPECT_EQ(trace[0].source, "panel");
    EXPECT_EQ(trace[0].bytes, preset);

    // Seven bytes of a script array become a whole frame (the Packet.Assign rules).
    auto array = ScriptArray::Bytes({0x1C, 0x03, 0x00, 0x01, 0x00, 0x00, 0xFF});
    result = -1;
    ASSERT_EQ(port_->SendPacket(array.get(), &result), S_OK);
    EXPECT_EQ(result, -1);  // not written on this path
    trace = bus_.TraceAtLeast(2);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[1].bytes, Frame({0x1C, 0x03, 0x00, 0x01, 0x00, 0x00, 0xFF}));

    // The transmission is recorded on the object's own packet.
    ULONG port_number = 0;
    packet->get_PortNumber(&port_number);
    EXPECT_EQ(port_number, 1u);
    // Neither echo came back to the chains as a received packet.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(WaitForLog(0).empty());
}

TEST_F(PortOnBus, ThePortsOutFiltersCanStopASend) {
    ASSERT_EQ(port_->Open(), S_OK);
    ref<Recorder> out = Add(port_->OutChain(), "out");
    out->consume = true;
    auto array = ScriptArray::Bytes({0x1C, 0x03, 0x00, 0x01, 0x00, 0x00, 0xFF});
    ASSERT_EQ(port_->SendPacket(array.get(), nullptr), S_OK);
    ASSERT_EQ(WaitForLog(1).size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(bus_.Trace().empty());
    EXPECT_EQ(port_->Transport().QueuedPackets(), 0u);
}

TEST_F(PortOnBus, AfterDestroyNothingIsDelivered) {
    ASSERT_EQ(port_->Destroy(), S_OK);
    EXPECT_FALSE(port_->Transport().IsOpen());
    LONG count = -1;
    port_->InChain().get_Count(&count);
    EXPECT_EQ(count, 0);
    port_in_ = Add(port_->InChain(), "port");
    ASSERT_EQ(port_->Open(), S_OK);  // scripts may still open it; nobody takes its frames
    OtherWrites(Frame({0x1C, 0x05, 0x00, 0x01, 0x00, 0x00, 0xFF}));
    bus_.TraceAtLeast(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(WaitForLog(0).empty());
}

// ---- Members without a bus ----

TEST(PortObject, PortNumberStartsUnsetAndIsReachableByName) {
    ComPtr<CPort> port;
    ASSERT_EQ(MakeComObject(&port), S_OK);
    ULONG number = 0;
    ASSERT_EQ(port->get_PortNumber(&number), S_OK);
    EXPECT_EQ(number, 0xFFFFFFFFu);
    EXPECT_EQ(port->get_PortNumber(nullptr), E_POINTER);

    IDispatch* dispatch = static_cast<IPort*>(port.get());
    LPOLESTR name[] = {const_cast<LPOLESTR>(u"portnumber")};
    DISPID dispid = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, name, 1, 0x400, &dispid), S_OK);
    EXPECT_EQ(dispid, 0x65);
    CComVariant value(LONG{7});
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    ASSERT_EQ(dispatch->Invoke(dispid, IID_NULL, 0x400, DISPATCH_PROPERTYPUT, &params, nullptr,
                               nullptr, nullptr),
              S_OK);
    port->get_PortNumber(&number);
    EXPECT_EQ(number, 7u);

    ComPtr<_ICPort> hidden;
    EXPECT_EQ(port->QueryInterface(hidden.put()), S_OK);
    ComPtr<IDestroy> destroy;
    EXPECT_EQ(port->QueryInterface(destroy.put()), S_OK);
}

TEST(PortObject, ChainGettersCheckTheirOutPointerAndReplaceWhatItHeld) {
    ComPtr<CPort> port;
    ASSERT_EQ(MakeComObject(&port), S_OK);
    EXPECT_EQ(port->get_InFilters(nullptr), E_POINTER);
    EXPECT_EQ(port->get_OutFilters(nullptr), E_POINTER);
    IPacketFilters* chain = nullptr;
    ASSERT_EQ(port->get_InFilters(&chain), S_OK);
    EXPECT_EQ(chain, static_cast<IPacketFilters*>(&port->InChain()));
    ASSERT_EQ(port->get_OutFilters(&chain), S_OK);  // releases the in-chain it held
    EXPECT_EQ(chain, static_cast<IPacketFilters*>(&port->OutChain()));
    chain->Release();
}

TEST(PortObject, LibraryPacketsGoAsTheyAreAndUnreadableObjectsAreRefused) {
    ComPtr<CPort> port;
    ASSERT_EQ(MakeComObject(&port), S_OK);
    // A library object over a plain packet (as a filter sees for an array send) goes as it is.
    ref<PacketBase> plain(new PacketBase);
    ComPtr<CPacketOb> object;
    ASSERT_EQ(MakeComObject(&object, plain.get()), S_OK);
    LONG result = -1;
    EXPECT_EQ(port->SendPacket(static_cast<IPacket*>(object.get()), &result), S_OK);
    EXPECT_EQ(port->Transport().QueuedPackets(), 1u);
    // Something the assignment rules cannot read is reported and not queued.
    auto no_length = ScriptArray::Bytes({1, 2, 3});
    no_length->length_name = u"size";
    EXPECT_TRUE(FAILED(port->SendPacket(no_length.get(), &result)));
    EXPECT_EQ(port->Transport().QueuedPackets(), 1u);
    // A closed port keeps what it is given.
    auto array = ScriptArray::Bytes({0x1C, 1, 0, 1, 0, 0, 0xFF});
    EXPECT_EQ(port->SendPacket(array.get(), &result), S_OK);
    EXPECT_EQ(port->Transport().QueuedPackets(), 2u);
}

}  // namespace
