// One chain pass per iteration: a packet through ten pattern filters (the chain size a panel
// usually carries), and through three script filters whose MatchesPacket function is a native
// stand-in for a script function.
#include <benchmark/benchmark.h>

#include <vector>

#include "../tests/support/nameless_dispatch.h"
#include "network/filter_chain.h"
#include "network/filter_object.h"
#include "network/packet_object.h"

namespace {

// A script function answering a fixed value.
class NativeFunction : public ComObjectRoot<NativeFunction, NamelessDispatch, IMarshal> {
  public:
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        benchmark::DoNotOptimize(params->cArgs);
        if (result) {
            VariantClear(result);
            result->vt = VT_BOOL;
            result->boolVal = answer;
        }
        return S_OK;
    }
    VARIANT_BOOL answer = VARIANT_FALSE;
};

ref<PacketBase> Frame() {
    ref<PacketBase> packet(new COMPacket);
    const BYTE bytes[8] = {0x1C, 0x01, 0x03, 0x60, 0x00, 0x00, 0xFF, 0x80};
    packet->AssignBytes(bytes, sizeof bytes);
    return packet;
}

void BM_PatternChain(benchmark::State& state) {
    ComPtr<CPacketFilters> chain;
    CPacketFilters::Create(&chain);
    for (int i = 0; i < 10; ++i) {
        ref<FilterBase> filter(new FilterBase);
        // Each tests the frame kind and area, and differs in the opcode: none matches.
        filter->SetPattern({0x1C, 0x01, FilterBase::kAnyByte, static_cast<WORD>(0x70 + i)});
        chain->AppendFilter(filter);
    }
    ref<PacketBase> packet = Frame();
    for (auto _ : state) {
        LONG consumed = 0;
        chain->FilterAndPurge(packet, &consumed);
        benchmark::DoNotOptimize(consumed);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PatternChain);

// state.range(0): 1 while script holds the packet's object (it is reused), 0 when every
// callback gets a new one.
void BM_ScriptChain(benchmark::State& state) {
    ComPtr<CPacketFilters> chain;
    CPacketFilters::Create(&chain);
    std::vector<ComPtr<CPacketFilter>> filters;
    ComPtr<NativeFunction> matches;
    MakeComObject(&matches);
    for (int i = 0; i < 3; ++i) {
        ComPtr<CPacketFilter> filter;
        MakeComObject(&filter);
        filter->put_MatchesPacket(matches.get());
        CComVariant object(static_cast<IDispatch*>(static_cast<IPacketFilter*>(filter.get())));
        chain->Add(object);
        filters.push_back(filter);
    }
    ref<PacketBase> packet = Frame();
    ComPtr<IDispatch> held;
    if (state.range(0)) GetPacketScriptObject(packet.get(), held.put());
    for (auto _ : state) {
        LONG consumed = 0;
        chain->FilterAndPurge(packet, &consumed);
        benchmark::DoNotOptimize(consumed);
    }
    state.SetItemsProcessed(state.iterations());
    held = nullptr;
    chain->Destroy();
    for (auto& f : filters)
        f->Destroy();
}
BENCHMARK(BM_ScriptChain)->Arg(0)->Arg(1);

// Building a chain of state.range(0) filters one Add at a time; then also taking each out
// again by itself, as a page's filters leave with the page.
void BM_AddFilters(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<ref<FilterBase>> filters;
    for (std::size_t i = 0; i < count; ++i)
        filters.push_back(ref<FilterBase>(new FilterBase));
    for (auto _ : state) {
        ComPtr<CPacketFilters> chain;
        CPacketFilters::Create(&chain);
        for (const auto& filter : filters)
            chain->AppendFilter(filter);
        LONG added = 0;
        chain->get_Count(&added);
        benchmark::DoNotOptimize(added);
        state.PauseTiming();
        chain->Destroy();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddFilters)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_AddThenRemoveEachFilter(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<ref<FilterBase>> filters;
    for (std::size_t i = 0; i < count; ++i)
        filters.push_back(ref<FilterBase>(new FilterBase));
    for (auto _ : state) {
        ComPtr<CPacketFilters> chain;
        CPacketFilters::Create(&chain);
        for (const auto& filter : filters)
            chain->AppendFilter(filter);
        for (const auto& filter : filters)
            chain->RemoveFilter(filter);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddThenRemoveEachFilter)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
