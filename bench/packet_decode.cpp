// Cost of decoding a received packet: the header alone, and header plus opcode catalogue for a
// preset and a level packet (the two commonest frames on a busy bus).
#include <benchmark/benchmark.h>

#include "network/com_packet.h"
#include "network/opcode_catalogue.h"

namespace {

ref<COMPacket> MakePacket(std::initializer_list<BYTE> bytes) {
    ref<COMPacket> packet(new COMPacket);
    packet->AssignBytes(bytes.begin(), bytes.size());
    packet->PortNumber = 1;
    return packet;
}

void BM_DecodeHeader(benchmark::State& state) {
    auto packet = MakePacket({0x1C, 0x01, 0x00, 0x0B, 0x00, 0x02, 0xFF, 0x00});
    for (auto _ : state) {
        packet->DecodeHeader();
        benchmark::DoNotOptimize(packet->Decoded.PresenceMask());
    }
}
BENCHMARK(BM_DecodeHeader);

void BM_DecodePreset(benchmark::State& state) {
    auto packet = MakePacket({0x1C, 0x01, 0x00, 0x0B, 0x00, 0x02, 0xFF, 0x00});
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeOpcode(*packet));
}
BENCHMARK(BM_DecodePreset);

void BM_DecodeLevel(benchmark::State& state) {
    auto packet = MakePacket({0x1C, 0x01, 0x02, 0x81, 0x00, 0x05, 0xFF, 0x00});
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeOpcode(*packet));
}
BENCHMARK(BM_DecodeLevel);

// A fresh packet each time, as the port makes one per frame: the named values are appended
// rather than replaced.
void BM_DecodeFreshLevel(benchmark::State& state) {
    for (auto _ : state) {
        auto packet = MakePacket({0x1C, 0x01, 0x02, 0x81, 0x00, 0x05, 0xFF, 0x00});
        benchmark::DoNotOptimize(DecodeOpcode(*packet));
    }
}
BENCHMARK(BM_DecodeFreshLevel);

}  // namespace

BENCHMARK_MAIN();
