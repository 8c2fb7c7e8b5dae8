// Cost of a late-bound call from script through the generic dispatcher.
#include <benchmark/benchmark.h>

#include "platform/com_object.h"
#include "platform/dispatcher.h"

namespace {

struct IBenchTarget : IDispatch {
    static constexpr IID kIid{0x0be7c401, 0x0001, 0x0001, {1, 1, 1, 1, 1, 1, 1, 1}};
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Count(LONG* count) = 0;
    virtual HRESULT get_Name(BSTR* name) = 0;
    virtual HRESULT Scale(LONG value, SHORT factor, LONG* result) = 0;
};

const InterfaceDesc& IBenchTarget::Describe() {
    using I = IBenchTarget;
    static const InterfaceDesc desc(
        u"IBenchTarget", kIid, nullptr,
        {
            Get<&I::get_Count>(u"Count", 0x259),
            Get<&I::get_Name>(u"Name", 0x25a),
            Method<&I::Scale>(u"Scale", 0x25b, {Arg(u"Value"), Arg(u"Factor")}),
        });
    return desc;
}

class CBenchTarget : public ComObjectRoot<CBenchTarget, DispatchImpl<IBenchTarget>> {
  public:
    HRESULT get_Count(LONG* count) override {
        *count = 8;
        return S_OK;
    }
    HRESULT get_Name(BSTR* name) override {
        *name = SysAllocString(u"packet");
        return S_OK;
    }
    HRESULT Scale(LONG value, SHORT factor, LONG* result) override {
        *result = value * factor;
        return S_OK;
    }
};

ComPtr<IDispatch> MakeTarget() {
    ComPtr<CBenchTarget> target;
    MakeComObject(&target);
    ComPtr<IDispatch> disp;
    target->QueryInterface(disp.put());
    return disp;
}

void BM_InvokePropertyGet(benchmark::State& state) {
    ComPtr<IDispatch> disp = MakeTarget();
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    for (auto _ : state) {
        disp->Invoke(0x259, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                     &none, &result, nullptr, nullptr);
        benchmark::DoNotOptimize(result.lVal);
    }
}
BENCHMARK(BM_InvokePropertyGet);

void BM_InvokeStringGet(benchmark::State& state) {
    ComPtr<IDispatch> disp = MakeTarget();
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        VARIANT result;
        VariantInit(&result);
        disp->Invoke(0x25a, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                     nullptr, nullptr);
        VariantClear(&result);
    }
}
BENCHMARK(BM_InvokeStringGet);

// Two arguments, one of which needs coercion (a script number arrives as a double).
void BM_InvokeMethodWithCoercion(benchmark::State& state) {
    ComPtr<IDispatch> disp = MakeTarget();
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_R8;  // Factor
    args[0].dblVal = 3.0;
    args[1].vt = VT_I4;  // Value
    args[1].lVal = 14;
    DISPPARAMS params{args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    for (auto _ : state) {
        disp->Invoke(0x25b, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                     nullptr, nullptr);
        benchmark::DoNotOptimize(result.lVal);
    }
}
BENCHMARK(BM_InvokeMethodWithCoercion);

void BM_GetIDsOfNames(benchmark::State& state) {
    ComPtr<IDispatch> disp = MakeTarget();
    LPOLESTR name = const_cast<LPOLESTR>(u"count");
    DISPID id = 0;
    for (auto _ : state) {
        disp->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        benchmark::DoNotOptimize(id);
    }
}
BENCHMARK(BM_GetIDsOfNames);

}  // namespace

BENCHMARK_MAIN();
