// What the network tests share: frames and their bytes, a chain member that records what it is
// passed, and brevanto-bus with the panel's drop mapped to a COM name and a second drop "other"
// that a test writes to as another device on the bus would.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus_process.h"
#include "network/com_packet.h"
#include "network/filter_base.h"
#include "network/network_handler.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "runtime/schedule_thread.h"
#include "runtime/timer.h"
#include "support/waitable_log.h"

using Bytes = std::vector<BYTE>;

// Seven bytes and their checksum.
inline Bytes Frame(Bytes seven) {
    seven.push_back(PacketChecksum(seven.data()));
    return seven;
}

inline Bytes BytesOf(const ref<PacketBase>& packet) {
    Bytes bytes(static_cast<std::size_t>(packet->ByteCount()));
    packet->CopyBytes(bytes.data(), static_cast<LONG>(bytes.size()));
    return bytes;
}

inline ref<PacketBase> PacketOf(const Bytes& bytes) {
    ref<PacketBase> packet(new COMPacket);
    packet->AssignBytes(bytes.data(), bytes.size());
    return packet;
}

// Lets the timer thread fire everything due by now: a sentinel timer due now fires after them.
inline void SettleTimers(ScheduleThread& thread) {
    struct Counter : TimeoutHandler {
        void TimedOut(TimerBase*) override { fired.Add(1); }
        WaitableLog<int> fired;
    };
    ref<Counter> counter(new Counter);
    ref<TimerBase> sentinel(new TimerBase);
    sentinel->Initialise();
    sentinel->set_period(0);
    sentinel->set_handler(counter.get());
    sentinel->Start(&thread);
    ASSERT_EQ(counter->fired.WaitFor(1).size(), 1u);
}

// Maps "COM<number>:" to a device path in the settings store.
inline void MapComPort(DWORD number, const std::string& path) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, kSerialDeviceKey), ERROR_SUCCESS);
    const std::string name = "COM" + std::to_string(number) + ":";
    ASSERT_EQ(key.SetStringValue(std::u16string(name.begin(), name.end()).c_str(),
                                 std::u16string(path.begin(), path.end()).c_str()),
              ERROR_SUCCESS);
}
inline constexpr char kMissingDevice[] = "/nonexistent/brevanto-tty";

// Sets (or, with none, removes) the number of the network handler's port 0.
inline void SetPort0(std::optional<DWORD> number) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_CURRENT_USER, CNetworkHandler::kSettingsKey), ERROR_SUCCESS);
    key.DeleteValue(CNetworkHandler::kPort0Value);
    if (number) {
        ASSERT_EQ(key.SetDWORDValue(CNetworkHandler::kPort0Value, *number), ERROR_SUCCESS);
    }
}

// A packet as a chain member saw it, with its transport facts at that moment.
struct SeenPacket {
    std::string who;
    ref<PacketBase> packet;
    Bytes bytes;
    DWORD port_number;
    DWORD destination_ports;
};
using PacketJournal = WaitableLog<SeenPacket>;

// A chain member that notes every packet it is passed in a journal it may share with others,
// and consumes the packets `consume` picks (set it before traffic starts).
class PacketRecorder : public FilterBase {
  public:
    explicit PacketRecorder(std::string who = "", std::shared_ptr<PacketJournal> journal = nullptr)
        : journal(journal ? std::move(journal) : std::make_shared<PacketJournal>()),
          who_(std::move(who)) {}

    void ProcessPacket(ref<PacketBase> packet, LONG* consumed) override {
        SeenPacket seen{who_, packet, BytesOf(packet), packet->PortNumber,
                        packet->DestinationPorts};
        *consumed = consume && consume(seen.bytes) ? 1 : 0;
        journal->Add(std::move(seen));
    }
    std::vector<SeenPacket> All() { return journal->All(); }

    std::function<bool(const Bytes&)> consume;
    std::shared_ptr<PacketJournal> journal;

  private:
    std::string who_;
};
inline bool ConsumeAll(const Bytes&) {
    return true;
}

// brevanto-bus joins the panel's drop, mapped to "COM<port>:", and the drop "other".
class BusTest : public ::testing::Test {
  protected:
    void StartBus(DWORD port) {
        ASSERT_TRUE(bus_.ready()) << "brevanto-bus did not start";
        MapComPort(port, bus_.Drop("panel").string());
        ASSERT_TRUE(other_.Open(bus_.Drop("other")));
        ASSERT_TRUE(other_.Configure(9600));
    }
    void OtherWrites(const Bytes& bytes) {
        other_.Write(bytes.data(), bytes.size());
        other_bytes_ += bytes.size();
    }
    // Waits until the bus has carried everything "other" wrote, so that a pause after it is a
    // pause on the line the port reads, however late the bus process runs.
    void WaitUntilCarried() {
        bus_.TraceUntil([this](const std::vector<bus::TraceLine>& lines) {
            std::size_t carried = 0;
            for (const auto& line : lines)
                carried += line.source == "panel" ? 0 : line.bytes.size();
            return carried >= other_bytes_;
        });
    }

    bus::BusProcess bus_;
    SerialDevice other_;
    std::size_t other_bytes_ = 0;
};
