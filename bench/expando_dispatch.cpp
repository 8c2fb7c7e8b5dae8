// Cost of reading a property from script: an expando member through InvokeEx, and members of a
// type-library object, where every call asks the type information first.
#include <benchmark/benchmark.h>

#include "dispatch/disp_ex_object.h"
#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/ids.h"

namespace {

struct IBenchGadget : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0xF2);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Size(LONG* pVal) = 0;

  protected:
    ~IBenchGadget() = default;
};

const InterfaceDesc& IBenchGadget::Describe() {
    static const InterfaceDesc desc(u"IBenchGadget", kIid, nullptr,
                                    {Get<&IBenchGadget::get_Size>(u"Size", 1)});
    return desc;
}

class CBenchGadget : public ComObjectRoot<CBenchGadget, IDispatchExImpl<IBenchGadget>> {
  public:
    CBenchGadget() { DispatchExMembers().set_expandable(true); }
    HRESULT get_Size(LONG* v) override {
        *v = 7;
        return S_OK;
    }
};

// Fills an object with `count` members and returns the DISPID of the last one.
DISPID Fill(IDispatchEx* object, int count) {
    DISPID id = DISPID_UNKNOWN;
    for (int i = 0; i < count; ++i) {
        CComBSTR name(std::u16string_view(u"member" + Utf8ToUtf16(std::to_string(i))));
        object->GetDispID(name, fdexNameCaseSensitive, &id);
        CComVariant value(LONG{i});
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS p{&value, &put, 1, 1};
        object->InvokeEx(id, 0x400, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
    }
    return id;
}

void BM_ExpandoGetInvokeEx(benchmark::State& state) {
    ComPtr<CDispExObject> bag;
    CDispExObject::Create(&bag);
    DISPID id = Fill(bag.get(), static_cast<int>(state.range(0)));
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        CComVariant v;
        bag->InvokeEx(id, 0x400, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr);
        benchmark::DoNotOptimize(v.lVal);
    }
}
BENCHMARK(BM_ExpandoGetInvokeEx)->Arg(1)->Arg(32);

void BM_ExpandoGetTypeInfoFirst(benchmark::State& state) {
    ComPtr<CBenchGadget> gadget;
    MakeComObject(&gadget);
    DISPID id = Fill(gadget.get(), static_cast<int>(state.range(0)));
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        CComVariant v;
        gadget->Invoke(id, IID_NULL, 0x400, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr);
        benchmark::DoNotOptimize(v.lVal);
    }
}
BENCHMARK(BM_ExpandoGetTypeInfoFirst)->Arg(1)->Arg(32);

void BM_TypedGetThroughTypeInfo(benchmark::State& state) {
    ComPtr<CBenchGadget> gadget;
    MakeComObject(&gadget);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    for (auto _ : state) {
        CComVariant v;
        gadget->Invoke(1, IID_NULL, 0x400, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr);
        benchmark::DoNotOptimize(v.lVal);
    }
}
BENCHMARK(BM_TypedGetThroughTypeInfo);

void BM_ExpandoNameLookup(benchmark::State& state) {
    ComPtr<CDispExObject> bag;
    CDispExObject::Create(&bag);
    Fill(bag.get(), static_cast<int>(state.range(0)));
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"MEMBER0")};
    for (auto _ : state) {
        DISPID id;
        bag->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id);
        benchmark::DoNotOptimize(id);
    }
}
BENCHMARK(BM_ExpandoNameLookup)->Arg(1)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
