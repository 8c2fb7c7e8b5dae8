// The port's transport on a virtual bus (support/network_bus.h), and the serial device.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "network/port_transport.h"
#include "support/network_bus.h"
#include "support/show.h"

namespace {

constexpr DWORD kPortNumber = 41;  // "COM41:", mapped to the bus's panel drop

ref<PacketBase> MakePacket(const Bytes& bytes, DWORD delay = 30) {
    ref<PacketBase> packet = PacketOf(bytes);
    packet->Delay = delay;
    return packet;
}

class Delivered : public PortOwner {
  public:
    void Deliver(ref<PacketBase> packet) override { log.Add(std::move(packet)); }
    WaitableLog<ref<PacketBase>> log;
};

// A pause on the bus: part of what a test sends, not a wait for a result.
void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class ComPortTest : public BusTest {
  protected:
    void SetUp() override {
        StartBus(kPortNumber);
        port_.SetOwner(&delivered_);
        ASSERT_TRUE(port_.OpenPort(kPortNumber, 1));
    }
    void TearDown() override {
        port_.ClosePort();
        port_.SetOwner(nullptr);
    }
    Delivered delivered_;
    CHalfDuplexPort port_;
};

TEST_F(ComPortTest, StrayBytesCutFramesAndNoiseNeitherStopNorConfuseThePort) {
    const Bytes first = Frame({0x5C, 0x01, 0x02, 0x00, 0x12, 0x34, 0x00});
    const Bytes last = Frame({0x1C, 0x05, 0x00, 0x02, 0x00, 0x00, 0xFF});
    // Stray bytes between frames are dropped; the frame after them is whole. A frame cut short
    // by a pause goes out as it is when the next byte comes; that byte is lost, and the
    // receiver starts again on the next frame's first byte.
    Bytes stray = {0x00, 0x13, 0xFF};
    stray.insert(stray.end(), first.begin(), first.end());
    stray.insert(stray.end(), {0x1C, 0x05, 0x00});
    OtherWrites(stray);
    WaitUntilCarried();
    Pause(150);
    // Noise of every kind, then a pause and a lone stray byte to end whatever it left open.
    std::mt19937 random(7);
    Bytes noise(401, 0x00);
    for (std::size_t i = 1; i < noise.size(); ++i)
        noise[i] = static_cast<BYTE>(random());
    OtherWrites(noise);
    WaitUntilCarried();
    Pause(150);
    Bytes end = {0x00};
    end.insert(end.end(), last.begin(), last.end());
    OtherWrites(end);

    const auto packets = delivered_.log.WaitUntil(
        [&](const auto& p) { return !p.empty() && BytesOf(p.back()) == last; });
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(BytesOf(packets[0]), first);
    EXPECT_EQ(BytesOf(packets[1]), (Bytes{0x1C, 0x05, 0x00}));
    EXPECT_EQ(BytesOf(packets.back()), last);
    for (const auto& p : packets) {
        const BYTE b0 = p->ByteAt(0);
        EXPECT_TRUE(b0 == 0x1C || b0 == 0x5C || b0 == 0x6C || b0 == 0xAC) << int{b0};
        EXPECT_LE(p->ByteCount(), 4 + 4 * 255);
    }

    // And the port still sends. The bus may note the other drop's last bytes after the port has
    // them, so only the panel's bytes are looked at.
    const Bytes sent = Frame({0x1C, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF});
    port_.QueuePacket(MakePacket(sent));
    EXPECT_EQ(PanelWrote(sent.size()), sent);
}

// The port's packets wait for silence after another device's frame, go out whole, keep their
// delay and wait for silence after their echo. Only the first frame like a sent one is its echo:
// the same frame from another device is received, however soon it follows. A packet with no
// bytes between them is not written.
TEST_F(ComPortTest, QueuedPacketsWaitForSilenceGoOutWholeAndOnlyTheirEchoIsSwallowed) {
    const Bytes other = Frame({0x5C, 0x01, 0x02, 0x00, 0x12, 0x34, 0x00});
    OtherWrites(other);
    delivered_.log.WaitFor(1);
    auto a = MakePacket(Frame({0x1C, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF}), 30);
    auto b = MakePacket(Frame({0x1C, 0x02, 0x00, 0x61, 0x00, 0x00, 0xFF}), 30);
    auto none = MakePacket({});  // not written, and told so
    ListenerLog told;
    a->Listener = b->Listener = none->Listener = &told;
    const DWORD before = GetTickCount();
    port_.QueuePacket(a);
    port_.QueuePacket(none);
    port_.QueuePacket(b);
    ASSERT_EQ(told.sent.WaitFor(2).size(), 2u);
    EXPECT_EQ(told.discarded.All(), std::vector<DWORD>{1});
    OtherWrites(BytesOf(b));
    OtherWrites(BytesOf(b));
    const auto trace = bus_.TraceAtLeast(3);
    ASSERT_GE(trace.size(), 3u);
    auto line = [&](std::size_t i) { return trace[i].source + " " + Hex(trace[i].bytes); };
    EXPECT_EQ(line(0) + ", " + line(1) + ", " + line(2),
              "other " + Hex(other) + ", panel " + Hex(BytesOf(a)) + ", panel " + Hex(BytesOf(b)));
    EXPECT_EQ(a->PortNumber, 1u);  // MarkSent ran
    EXPECT_GE(TickDiff(a->PacketTime, before), 0);
    // 8 ms on the wire and 30 ms of Delay, then 30 ms of silence after the echo was read.
    EXPECT_GE(TickDiff(b->PacketTime, a->PacketTime), 68);
    // The bus stamps a frame when it reads the first byte, which may be late when the bus
    // process is slow to run; only the silence after the frame before is bound on its own time
    // line: 8.3 ms of that frame, then 30 ms.
    EXPECT_GE(trace[1].time_us - trace[0].time_us, 8000 + 29000);
    EXPECT_GE(trace[2].time_us - trace[1].time_us, 8333 + 29000);

    // A frame from the other device after them: once it is delivered, they would have been too.
    const Bytes sentinel = Frame({0x1C, 0x7E, 0x00, 0x00, 0x00, 0x00, 0xFF});
    OtherWrites(sentinel);
    const auto packets = delivered_.log.WaitUntil(
        [&](const auto& p) { return !p.empty() && BytesOf(p.back()) == sentinel; });
    ASSERT_EQ(packets.size(), 4u);  // the other device's frames and the sentinel: no echo
    EXPECT_EQ(BytesOf(packets[0]), other);
    for (const auto& p : {packets[1], packets[2]}) {
        EXPECT_EQ(BytesOf(p), BytesOf(b));
        LONG area = -1;  // the header was decoded on delivery
        EXPECT_TRUE(p->Decoded.Get(DecodedPacket::kArea, &area));
        EXPECT_EQ(area, 2);
    }
}

TEST_F(ComPortTest, FullQueueDropsTheOldestPacket) {
    // Queued while the port is closed, the packets wait.
    port_.ClosePort();
    ListenerLog first;
    for (int i = 0; i < 65; ++i) {
        ref<PacketBase> packet =
            MakePacket(Frame({0x1C, 0x01, static_cast<BYTE>(i), 0, 0, 0, 0xFF}));
        if (i == 0) packet->Listener = &first;
        port_.QueuePacket(packet);
    }
    EXPECT_EQ(first.discarded.All(), std::vector<DWORD>{1});  // told, with the port's mask
    port_.QueuePacket(nullptr);                               // changes nothing
    EXPECT_EQ(port_.QueuedPackets(), 64u);
    ASSERT_TRUE(port_.OpenPort(kPortNumber, 1));
    const auto trace = bus_.TraceAtLeast(1);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace[0].bytes[2], 1);  // packet 0 was dropped
}

TEST(SerialDeviceTest, ComNamesMapThroughTheSettingsStoreOrToTheSerialLinesAndWaitsEndOnWake) {
    MapComPort(9, "/tmp/bus/panel");
    const struct {
        const char16_t* name;
        const char* path;
    } cases[] = {
        {u"COM9:", "/tmp/bus/panel"},
        {u"com9:", "/tmp/bus/panel"},
        {u"COM1:", "/dev/ttyS0"},
        {u"COM:", ""},
        {u"LPT1:", ""},
        {u"COM1", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialDevice::PathForName(c.name), c.path) << Utf16ToUtf8(c.name);

    SerialDevice device;  // a wait ends on a wake and on its time-out
    device.Wake();
    EXPECT_EQ(device.Wait(INFINITE), SerialDevice::WaitResult::kWoken);
    EXPECT_EQ(device.Wait(5), SerialDevice::WaitResult::kTimeout);  // the wake was used up
    std::thread waker([&] {
        Pause(20);  // most likely while the wait below blocks
        device.Wake();
    });
    EXPECT_EQ(device.Wait(INFINITE), SerialDevice::WaitResult::kWoken);
    waker.join();
    BYTE byte;
    EXPECT_EQ(device.Read(&byte, 1), -1);  // nothing open
    EXPECT_FALSE(device.Configure(9600));
}

}  // namespace
