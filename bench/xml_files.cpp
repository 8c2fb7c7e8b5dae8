// Cost of the data files: loading and saving a configuration of 1 000 settings (the save
// includes flushing the file to disk), and reading a 1 MB object tree, as events alone and as
// script objects built again, with the growth of resident memory during the reads.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "bench_directory.h"
#include "dispatch/disp_ex_object.h"
#include "persistence/config_object.h"
#include "persistence/script_serialisation.h"
#include "persistence/xml_reader.h"
#include "platform/bstr.h"
#include "process_stats.h"

namespace {

constexpr int kSettings = 1000;

// A configuration with settings of every kind.
ComPtr<CConfigOb> FilledConfig(const BenchDirectory& dir) {
    ComPtr<CConfigOb> config;
    MakeComObject(&config);
    config->SetDataDirectory(dir.Path());
    for (int i = 0; i < kSettings; ++i) {
        std::u16string name = u"Setting" + Utf8ToUtf16(std::to_string(i));
        CComVariant value;
        switch (i % 4) {
            case 0:
                value = CComVariant(LONG{i});
                break;
            case 1:
                value = CComVariant(i % 3 == 0);
                break;
            case 2:
                value = CComVariant(i / 7.0);
                break;
            default:
                value = CComVariant(u"text <with> & \"marks\" é");
                break;
        }
        config->DispatchExMembers().SetValue(name, value);
    }
    return config;
}

void BM_ConfigSave(benchmark::State& state) {
    BenchDirectory dir;
    ComPtr<CConfigOb> config = FilledConfig(dir);
    for (auto _ : state)
        config->Save();
    state.SetItemsProcessed(state.iterations() * kSettings);
}
BENCHMARK(BM_ConfigSave)->Unit(benchmark::kMillisecond);

void BM_ConfigLoad(benchmark::State& state) {
    BenchDirectory dir;
    FilledConfig(dir)->Save();
    for (auto _ : state) {
        ComPtr<CConfigOb> config;
        MakeComObject(&config);
        config->SetDataDirectory(dir.Path());
        config->Load();
        benchmark::DoNotOptimize(config.get());
    }
    state.SetItemsProcessed(state.iterations() * kSettings);
}
BENCHMARK(BM_ConfigLoad)->Unit(benchmark::kMillisecond);

// About 1 MB: an array of objects, each with a few values and a nested array.
std::string ObjectTree() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root_object Type=\"Array\">\n";
    int count = 0;
    while (xml.size() < (1 << 20)) {
        std::string n = std::to_string(count++);
        xml += "  <item Index=\"" + n + "\" Type=\"Object\">\n    <Name>Schedule " + n +
               " &amp; more</Name>\n    <Hours Type=\"Integer\">" + n +
               "</Hours>\n    <Enable Type=\"Bool\">True</Enable>\n    <Days Type=\"Array\">"
               "<length Type=\"Integer\">2</length><item Index=\"0\">mon</item>"
               "<item Index=\"1\">fri</item></Days>\n  </item>\n";
    }
    return xml + "  <length Type=\"Integer\">" + std::to_string(count) +
           "</length>\n</root_object>\n";
}

void BM_ReadObjectTreeEvents(benchmark::State& state) {
    const std::string xml = ObjectTree();
    // How far one read raises the resident memory above what the text itself takes.
    ResetPeakResident();
    const long before_kb = ResidentKb();
    for (auto _ : state) {
        CXMLReadHelperBase handler;
        CDOMReader(u"").ReadBytes(xml, u"tree.xml", &handler);
        benchmark::DoNotOptimize(handler.Result);
    }
    state.counters["peak_growth_kb"] = static_cast<double>(PeakResidentKb() - before_kb);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ReadObjectTreeEvents)->Unit(benchmark::kMillisecond);

// Stands in for the page's hidden script: every object it makes is a native expando object.
class BenchScript : public ComObjectRoot<BenchScript, IDispatch> {
  public:
    HRESULT GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        return *info = nullptr, E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* ids) override {
        return *ids = 1, S_OK;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        ComPtr<CDispExObject> object;
        HRESULT hr = CDispExObject::Create(&object);
        if (FAILED(hr)) return hr;
        result->vt = VT_DISPATCH;
        result->pdispVal = static_cast<IDispatchEx*>(object.Detach());
        return S_OK;
    }
};

void BM_ReadObjectTreeObjects(benchmark::State& state) {
    const std::string xml = ObjectTree();
    ComPtr<BenchScript> script;
    MakeComObject(&script);
    ResetPeakResident();
    const long before_kb = ResidentKb();
    for (auto _ : state) {
        CJScriptReadHelper helper(script.get());
        CDOMReader(u"").ReadBytes(xml, u"tree.xml", &helper);
        benchmark::DoNotOptimize(helper.Root());
    }
    state.counters["peak_growth_kb"] = static_cast<double>(PeakResidentKb() - before_kb);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ReadObjectTreeObjects)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
