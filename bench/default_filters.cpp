// The default incoming filter and the decoded events it raises:
// - the filter's own cost per packet, by kind of packet (events go to a Global that only counts
//   them, so delivery to pages is not part of it);
// - from the last byte of a frame on brevanto-bus to a page's "Preset" handler running, in the
//   reference host with the built library (a third drop watches the bus for the last byte; the
//   handler calls Global.Log, which the host hands straight to this program);
// - the events per second a page receives while another device keeps the 9600-baud bus busy with
//   back-to-back presets, and how many it lost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus_process.h"
#include "host/page_host.h"
#include "network/com_packet.h"
#include "network/default_filters.h"
#include "platform/serial_device.h"
#include "runtime/current_global.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- The filter alone ----

class CountingGlobal : public RuntimeServices, public NetworkServices {
  public:
    void SubmitTask(ref<ThreadPoolTask>) override {}
    HRESULT RaiseEvent(BSTR, IDispatchEx*) override {
        ++raised;
        return S_OK;
    }
    HRESULT Log(BSTR) override { return S_OK; }
    ScheduleThread* TimerThread() override { return nullptr; }
    LONG PacketDelay() const override { return 0; }
    LONG BoxNumber() const override { return 1; }
    bool QueueToPort(DWORD, ref<PacketBase>) override { return false; }
    std::size_t EnableSchedules(LONG, bool) override { return 0; }
    std::size_t TriggerSchedules(LONG) override { return 0; }
    long raised = 0;
};

struct Kind {
    const char* name;
    BYTE bytes[8];
    bool filter;  // false: the packet alone, the baseline of the others
};
const Kind kKinds[] = {
    {"packet_only", {0x1C, 0x01, 0x00, 0x0B, 0x00, 0x02, 0xFF, 0x00}, false},
    {"preset_event", {0x1C, 0x01, 0x00, 0x0B, 0x00, 0x02, 0xFF, 0x00}, true},
    {"level_event", {0x1C, 0x01, 0x40, 0x81, 0x00, 0x05, 0xFF, 0x00}, true},
    {"button_event", {0x5C, 0x02, 0x05, 0x43, 0x07, 0x00, 0x01, 0x00}, true},
    {"logical_no_match", {0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF, 0x00}, true},
    {"join_mask_set", {0x1C, 0x05, 0x0F, 0x14, 0x00, 0x00, 0xFF, 0x00}, true},
};

void BM_DefaultIncomingFilter(benchmark::State& state) {
    const Kind& kind = kKinds[state.range(0)];
    state.SetLabel(kind.name);
    CountingGlobal global;
    CurrentGlobal::Set(&global);
    {
        ref<DefaultPacketFilters> filter(new DefaultPacketFilters);
        for (auto _ : state) {
            ref<PacketBase> packet(new COMPacket);
            packet->AssignBytes(kind.bytes, sizeof kind.bytes);
            packet->PortNumber = 1;
            LONG consumed = 0;
            if (kind.filter) filter->ProcessPacket(packet, &consumed);
            benchmark::DoNotOptimize(consumed);
        }
        filter->Cleanup();
    }
    CurrentGlobal::Clear(&global);
    state.counters["events"] = static_cast<double>(global.raised);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DefaultIncomingFilter)->DenseRange(0, std::size(kKinds) - 1);

// ---- Through the host ----

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// A page whose "Preset" handler logs "preset" once its registrations are live ("ready").
constexpr char kPage[] = R"js(
var live = false;
Global.RegisterForEvent('Preset', null, function () { Global.Log('preset'); });
Global.RegisterForEvent('BenchPing', null, function () { live = true; });
(function ping() {
    if (live) return Global.Log('ready');
    Global.RaiseEvent('BenchPing', {});
    setTimeout(ping, 5);
})();
)js";

// brevanto-host's page run on a thread of this program, on the drop "panel" of a bus that also
// has "other" (a device that talks) and "probe" (a watcher of the line).
class HostOnBus {
  public:
    HostOnBus() : bus_({"panel", "other", "probe"}) {
        if (!getenv("BREVANTO_SETTINGS")) setenv("BREVANTO_SETTINGS", "/tmp/brevanto-bench.reg", 1);
        dir_ = std::filesystem::temp_directory_path() / "brevanto-bench-page";
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "page.js") << kPage;
        brevanto_host::HostOptions options;
        options.data_dir = dir_;
        options.serial = bus_.Drop("panel").string();
        options.module_file = BREVANTO_MODULE_FILE;
        options.scripts = {dir_ / "page.js"};
        options.timeout_seconds = 600;
        options.output = [this](const std::string& line) {
            const auto now = Clock::now();
            std::lock_guard lock(mutex_);
            if (line == "preset") stamps_.push_back(now);
            if (line == "ready") ready_ = true;
            changed_.notify_all();
        };
        host_ = std::make_unique<brevanto_host::PageHost>(options);
        thread_ = std::thread([this] { host_->Run(); });
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return ready_; });
        ok_ = ready_ && other_.Open(bus_.Drop("other")) && probe_.Open(bus_.Drop("probe")) &&
              other_.Configure(9600) && probe_.Configure(9600);
    }
    ~HostOnBus() {
        host_->RequestClose();
        thread_.join();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    bool ok() const { return ok_; }

    void Write(const std::vector<BYTE>& bytes) { other_.Write(bytes.data(), bytes.size()); }
    // When the probe saw the last of `count` bytes (a time-point of zero when it did not).
    Clock::time_point LastByte(std::size_t count) {
        std::size_t seen = 0;
        Clock::time_point last{};
        const auto give_up = Clock::now() + std::chrono::seconds(2);
        while (seen < count && Clock::now() < give_up) {
            BYTE byte;
            if (probe_.Read(&byte, 1) == 1) {
                ++seen;
                last = Clock::now();
            } else {
                probe_.Wait(5);
            }
        }
        return seen == count ? last : Clock::time_point{};
    }
    // Waits until the handler ran `count` times in all (or `patience` passed); its stamps.
    std::vector<Clock::time_point> Stamps(std::size_t count, std::chrono::milliseconds patience) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [&] { return stamps_.size() >= count; });
        return stamps_;
    }

  private:
    bus::BusProcess bus_;
    std::filesystem::path dir_;
    std::unique_ptr<brevanto_host::PageHost> host_;
    std::thread thread_;
    SerialDevice other_, probe_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> stamps_;
    bool ready_ = false;
    bool ok_ = false;
};

std::vector<BYTE> PresetFrame(BYTE preset_opcode) {
    std::vector<BYTE> bytes = {0x1C, 0x07, 0x00, preset_opcode, 0x00, 0x00, 0xFF};
    bytes.push_back(PacketChecksum(bytes.data()));
    return bytes;
}

void BM_BusFrameToPresetHandler(benchmark::State& state) {
    HostOnBus host;
    if (!host.ok()) return state.SkipWithError("the host or the bus did not start");
    std::vector<double> latencies;
    std::size_t handled = 0;
    for (auto _ : state) {
        const auto frame = PresetFrame(0x01);
        host.Write(frame);
        const auto last = host.LastByte(frame.size());
        const auto stamps = host.Stamps(handled + 1, std::chrono::seconds(2));
        if (stamps.size() > handled && last != Clock::time_point{})
            latencies.push_back(
                std::chrono::duration<double, std::micro>(stamps[handled] - last).count());
        handled = stamps.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["frames"] = static_cast<double>(latencies.size());
}
BENCHMARK(BM_BusFrameToPresetHandler)->Iterations(300)->Unit(benchmark::kMillisecond);

// 600 presets written at once: the bus carries them back to back (8 bytes at 9600 baud each).
void BM_SaturatedBusEvents(benchmark::State& state) {
    constexpr std::size_t kFrames = 600;
    HostOnBus host;
    if (!host.ok()) return state.SkipWithError("the host or the bus did not start");
    double per_second = 0, lost = 0;
    for (auto _ : state) {
        std::vector<BYTE> burst;
        for (std::size_t i = 0; i < kFrames; ++i) {
            const auto frame = PresetFrame(static_cast<BYTE>(i % 4));
            burst.insert(burst.end(), frame.begin(), frame.end());
        }
        host.Write(burst);
        const auto stamps = host.Stamps(kFrames, std::chrono::seconds(30));
        lost = static_cast<double>(kFrames) - static_cast<double>(stamps.size());
        if (stamps.size() > 1)
            per_second = (stamps.size() - 1) /
                         std::chrono::duration<double>(stamps.back() - stamps.front()).count();
    }
    state.counters["events_per_s"] = per_second;
    state.counters["lost"] = lost;
}
BENCHMARK(BM_SaturatedBusEvents)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
