// What the network tests share: frames and their bytes, the Global as the network layer sees it,
// serial port settings, and a chain member that records what it is passed.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "network/com_packet.h"
#include "network/filter_base.h"
#include "network/network_handler.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "runtime/current_global.h"
#include "runtime/schedule_thread.h"
#include "support/await_timers.h"
#include "support/waitable_log.h"

using Bytes = std::vector<BYTE>;

inline std::string Joined(const std::vector<std::string>& items, const char* separator = " ") {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

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

// The Global as the network layer sees it, current while it lives: raised events and schedule
// requests are recorded, TriggerSchedules finds `triggered` schedules, and `on_queue` (if set)
// plays the ports.
class FakeNetworkGlobal : public RuntimeServices, public NetworkServices {
  public:
    struct Raised {
        std::string name;
        ComPtr<IDispatchEx> parameters;
    };
    FakeNetworkGlobal() {
        EXPECT_TRUE(thread.Start());
        CurrentGlobal::Set(this);
    }
    ~FakeNetworkGlobal() override {
        CurrentGlobal::Clear(this);
        thread.StopAndJoin();
    }

    void SubmitTask(ref<ThreadPoolTask>) override {}
    HRESULT RaiseEvent(BSTR name, IDispatchEx* parameters) override {
        raised.Add({Utf16ToUtf8({name, SysStringLen(name)}), ComPtr<IDispatchEx>(parameters)});
        return S_OK;
    }
    HRESULT Log(BSTR) override { return S_OK; }
    ScheduleThread* TimerThread() override { return &thread; }
    LONG PacketDelay() const override { return 0; }
    LONG BoxNumber() const override { return box; }
    bool QueueToPort(DWORD port_mask, ref<PacketBase> packet) override {
        return on_queue && on_queue(port_mask, std::move(packet));
    }
    std::size_t EnableSchedules(LONG number, bool enable) override {
        requests.Add((enable ? "enable " : "disable ") + std::to_string(number));
        return 1;
    }
    std::size_t TriggerSchedules(LONG number) override {
        requests.Add("trigger " + std::to_string(number));
        return triggered;
    }
    // Lets the timer thread fire everything due by now.
    void Settle() { AwaitTimersDueIn(&thread, 0); }

    ScheduleThread thread;
    LONG box = 1;
    std::size_t triggered = 0;
    std::function<bool(DWORD port_mask, ref<PacketBase>)> on_queue;
    WaitableLog<Raised> raised;
    WaitableLog<std::string> requests;
};

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

// Port 0 as "COM43:", mapped to no device: it stays closed and keeps what it is given.
inline void UseClosedPort0() {
    SetPort0(43);
    MapComPort(43, kMissingDevice);
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

// Notes each transmission of the packets it listens to, as "<port>@<time>" from the facts the
// sender recorded just before telling (so that waiting for it makes them safe to read), and each
// discard with the discarding port's mask.
class ListenerLog : public PacketListener {
  public:
    void OnPacketSent(PacketBase& packet) override {
        sent.Add(std::to_string(packet.PortNumber) + "@" + std::to_string(packet.PacketTime));
    }
    void OnPacketDiscarded(PacketBase&, DWORD port_mask) override { discarded.Add(port_mask); }
    WaitableLog<std::string> sent;
    WaitableLog<DWORD> discarded;
};
