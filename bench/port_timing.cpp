// Timing of the port against brevanto-bus: the spacing of back-to-back transmissions (from the
// bus trace), the time from the last byte of a frame on the bus to OnFrame, and the wake-ups
// per second of an idle open port's thread.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus_process.h"
#include "network/port_transport.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "process_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kPortNumber = 41;

std::vector<BYTE> Frame(BYTE opcode) {
    std::vector<BYTE> bytes = {0x1C, 0x01, 0x00, opcode, 0x00, 0x00, 0xFF};
    bytes.push_back(PacketChecksum(bytes.data()));
    return bytes;
}

bool MapPort(const bus::BusProcess& bus) {
    if (!getenv("BREVANTO_SETTINGS")) setenv("BREVANTO_SETTINGS", "/tmp/brevanto-bench.reg", 1);
    CRegKey key;
    const std::string path = bus.Drop("panel").string();
    return key.Create(HKEY_CURRENT_USER, kSerialDeviceKey) == ERROR_SUCCESS &&
           key.SetStringValue(u"COM41:", std::u16string(path.begin(), path.end()).c_str()) ==
               ERROR_SUCCESS;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// Ten queued 8-byte packets with Delay 30: the rule gives at least 68 ms from start to start.
void BM_SendSpacing(benchmark::State& state) {
    bus::BusProcess bus;
    if (!bus.ready() || !MapPort(bus)) return state.SkipWithError("no bus");
    CComPort port;
    if (!port.OpenPort(kPortNumber, 1)) return state.SkipWithError("cannot open the port");
    std::vector<double> gaps;
    for (auto _ : state) {
        const std::size_t before = bus.Trace().size();
        for (int i = 0; i < 10; ++i) {
            ref<PacketBase> packet(new PacketBase);
            const auto bytes = Frame(static_cast<BYTE>(i));
            packet->AssignBytes(bytes.data(), bytes.size());
            packet->Delay = 30;
            port.QueuePacket(packet);
        }
        const auto trace = bus.TraceAtLeast(before + 10);
        for (std::size_t i = before + 1; i < trace.size(); ++i)
            gaps.push_back((trace[i].time_us - trace[i - 1].time_us) / 1000.0);
    }
    state.counters["gap_min_ms"] = Percentile(gaps, 0);
    state.counters["gap_median_ms"] = Percentile(gaps, 0.5);
    state.counters["gap_max_ms"] = Percentile(gaps, 1.0);
}
BENCHMARK(BM_SendSpacing)->Iterations(5)->Unit(benchmark::kMillisecond);

// A third drop watches the bus; the latency is from the moment it saw the frame's last byte to
// OnFrame on the port thread.
class StampingPort : public CComPort {
  public:
    ~StampingPort() override {
        ClosePort();
        StopAndJoin();
    }
    void OnFrame(RawPacket&) override {
        std::lock_guard lock(mutex);
        stamps.push_back(Clock::now());
    }
    std::mutex mutex;
    std::vector<Clock::time_point> stamps;
};

void BM_LastByteToOnFrame(benchmark::State& state) {
    bus::BusProcess bus({"panel", "other", "probe"});
    if (!bus.ready() || !MapPort(bus)) return state.SkipWithError("no bus");
    StampingPort port;
    if (!port.OpenPort(kPortNumber, 1)) return state.SkipWithError("cannot open the port");
    SerialDevice other, probe;
    if (!other.Open(bus.Drop("other")) || !probe.Open(bus.Drop("probe")))
        return state.SkipWithError("cannot open the drops");
    other.Configure(9600);
    probe.Configure(9600);
    std::vector<double> latencies;
    for (auto _ : state) {
        const auto frame = Frame(0x02);
        other.Write(frame.data(), frame.size());
        // Read the probe's copy byte by byte, stamping the last one.
        std::size_t seen = 0;
        Clock::time_point last{};
        const auto give_up = Clock::now() + std::chrono::seconds(1);
        while (seen < frame.size() && Clock::now() < give_up) {
            BYTE byte;
            if (probe.Read(&byte, 1) == 1) {
                ++seen;
                last = Clock::now();
            } else {
                probe.Wait(5);
            }
        }
        Clock::time_point stamp{};
        while (Clock::now() < give_up) {
            {
                std::lock_guard lock(port.mutex);
                if (!port.stamps.empty()) {
                    stamp = port.stamps.back();
                    port.stamps.clear();
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (seen == frame.size() && stamp != Clock::time_point{})
            latencies.push_back(std::chrono::duration<double, std::micro>(stamp - last).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["frames"] = static_cast<double>(latencies.size());
}
BENCHMARK(BM_LastByteToOnFrame)->Iterations(300)->Unit(benchmark::kMillisecond);

// An open port with nothing to do, over ten seconds.
void BM_IdlePortWakeups(benchmark::State& state) {
    bus::BusProcess bus;
    if (!bus.ready() || !MapPort(bus)) return state.SkipWithError("no bus");
    CComPort port;
    if (!port.OpenPort(kPortNumber, 1)) return state.SkipWithError("cannot open the port");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double per_second = 0;
    for (auto _ : state) {
        const long before = VoluntarySwitches(port.ThreadId());
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const long after = VoluntarySwitches(port.ThreadId());
        per_second = (after - before) / 10.0;
    }
    state.counters["wakeups_per_s"] = per_second;
}
BENCHMARK(BM_IdlePortWakeups)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
