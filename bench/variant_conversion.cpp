// Cost of the conversions every dispatch call makes on its arguments.
#include <benchmark/benchmark.h>

#include "platform/automation.h"

namespace {

void I4ToBstr(benchmark::State& state) {
    CComVariant in(LONG{-1234567});
    CComVariant out;
    for (auto _ : state) {
        VariantChangeTypeEx(&out, &in, LOCALE_USER_DEFAULT, 0, VT_BSTR);
        benchmark::DoNotOptimize(out.bstrVal);
    }
}
BENCHMARK(I4ToBstr);

void BstrToI4(benchmark::State& state) {
    CComVariant in(u"  -1234567 ");
    CComVariant out;
    for (auto _ : state) {
        VariantChangeTypeEx(&out, &in, LOCALE_USER_DEFAULT, 0, VT_I4);
        benchmark::DoNotOptimize(out.lVal);
    }
}
BENCHMARK(BstrToI4);

void R8ToI4(benchmark::State& state) {
    CComVariant in(2.5e6 + 0.5);
    CComVariant out;
    for (auto _ : state) {
        VariantChangeTypeEx(&out, &in, LOCALE_USER_DEFAULT, 0, VT_I4);
        benchmark::DoNotOptimize(out.lVal);
    }
}
BENCHMARK(R8ToI4);

void R8ToBstr(benchmark::State& state) {
    CComVariant in(3.14159);
    CComVariant out;
    for (auto _ : state) {
        VariantChangeTypeEx(&out, &in, LOCALE_USER_DEFAULT, 0, VT_BSTR);
        benchmark::DoNotOptimize(out.bstrVal);
    }
}
BENCHMARK(R8ToBstr);

}  // namespace

BENCHMARK_MAIN();
