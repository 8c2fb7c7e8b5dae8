// Arbitrary bytes as an object-tree file of the data directory, read the way the library reads
// stored script objects: plain objects and arrays come from a script context (a small engine
// double here: its eval makes expando objects, arrays with a length member), native objects from
// their class names (the library's creatable classes are registered under their names, as
// "Brevanto.Schedule", for the whole run). The scheduler's readers read the same bytes too, as
// its schedule and holiday files, without a script context as at start-up.
//
// Checked for every input: the read ends (the sanitizers and libFuzzer's limits catch crashes,
// hangs and runaway memory); then the object read, if any, is written (A), A is read and written
// again (B), and B is read and written (C). Each written document reads without error, writing
// is a fixed point after the first normalisation (B == C), and every member of the first
// generation, by its path of names, comes back in the second with the same type text and value
// text (the first read already made floating point decimal, so texts compare as they are).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "dispatch/member_table.h"
#include "fuzz_input.h"
#include "interfaces/persistence.h"
#include "module/object_map.h"
#include "persistence/script_serialisation.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/guid.h"
#include "platform/safearray.h"
#include "platform/settings_store.h"
#include "scheduler/scheduler_files.h"
#include "support/engine_objects.h"

namespace {

namespace fs = std::filesystem;

constexpr char16_t kFileName[] = u"Tree";

class Silent : public CXMLErrorSink {
  public:
    void OnXMLError(std::u16string_view) override {}
};

// The run's temporary directory: the data directory and the settings store that registers the
// library's classes under their names.
struct Run {
    fs::path root;
    fs::path data;
    ComPtr<IDispatch> context;

    Run() {
        std::string pattern = fs::temp_directory_path() / "brevanto-fuzz-tree-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        root = pattern;
        data = root / "data";
        fs::create_directories(data);
        setenv("BREVANTO_SETTINGS", (root / "settings.reg").c_str(), 1);
        for (const ObjectMapEntry* e = BrevantoObjectMap(); e->clsid; ++e) {
            if (*e->clsid == CLSID_Global) continue;  // the runtime itself, not a stored object
            OLECHAR clsid[40];
            StringFromGUID2(*e->clsid, clsid, 40);
            for (LPCOLESTR name : {e->prog_id, e->version_independent_prog_id}) {
                CRegKey key;
                FUZZ_CHECK(
                    key.Create(HKEY_CLASSES_ROOT, (std::u16string(name) + u"\\CLSID").c_str()) ==
                    ERROR_SUCCESS);
                FUZZ_CHECK(key.SetStringValue(nullptr, clsid) == ERROR_SUCCESS);
            }
            ComPtr<IClassFactory> factory;
            FUZZ_CHECK(SUCCEEDED(e->create_factory(*e, factory.put())));
            DWORD cookie = 0;
            FUZZ_CHECK(CoRegisterClassObject(*e->clsid, factory.get(), CLSCTX_INPROC_SERVER,
                                             REGCLS_MULTIPLEUSE, &cookie) == S_OK);
        }
        ComPtr<HiddenScript> made;
        FUZZ_CHECK(SUCCEEDED(MakeComObject(&made)));
        context = made.As<IDispatch>();
    }
};

Run& TheRun() {
    static Run* run = new Run;  // lives as long as the process
    static const int removed_at_exit = std::atexit([] {
        std::error_code ignored;
        fs::remove_all(run->root, ignored);
    });
    (void)removed_at_exit;
    return *run;
}

void WriteFile(std::string_view bytes) {
    std::ofstream(TheRun().data / (Utf16ToUtf8(kFileName) + ".xml"), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The readers of object-tree files: the generic one with the script context, and the
// scheduler's, which make their collection's class for every element and are given no context
// (as at start-up, before a page's engine exists).
enum class Reader { kScript, kSchedules, kHolidays };

// Reads the file with `reader`; the object read (null for none) and the read's status.
ComPtr<IDispatch> ReadFile(Reader reader, HRESULT* result) {
    Silent silent;
    std::unique_ptr<CJScriptReadHelper> helper;
    if (reader == Reader::kScript)
        helper = std::make_unique<CJScriptReadHelper>(TheRun().context.get(), &silent);
    else if (reader == Reader::kSchedules)
        helper = std::make_unique<CScheduleReader>(nullptr, &silent);
    else
        helper = std::make_unique<CPublicHolidayReader>(nullptr, &silent);
    CDOMReader(Utf8ToUtf16(TheRun().data.string())).Read(kFileName, helper.get());
    *result = helper->Result;
    return ComPtr<IDispatch>(helper->Root());
}

std::string Written(IDispatch* root) {
    CJavascriptXMLWriter source(root);
    std::string bytes;
    FUZZ_CHECK(CXMLWriter::Build(source, &bytes) == S_OK);
    return bytes;
}

// ---- The members of an object tree, as the stored form describes them ----

using Members = std::map<std::u16string, std::u16string>;  // path of names -> type and text

HRESULT Get(IDispatch* object, DISPID dispid, VARIANT* value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value,
                          nullptr, nullptr);
}

// The readable members of an object: the parameterless property gets of its type description,
// the names a script added to a storable object, or an engine object's enumeration.
std::vector<std::pair<std::u16string, DISPID>> MembersOf(IDispatch* object) {
    std::vector<std::pair<std::u16string, DISPID>> members;
    ComPtr<ITypeInfo> info;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(object->GetTypeInfo(0, LOCALE_SYSTEM_DEFAULT, info.put())) && info &&
        SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
        for (UINT f = 0; f < attr->cFuncs; ++f) {
            FUNCDESC* desc = nullptr;
            if (FAILED(info->GetFuncDesc(f, &desc)) || !desc) continue;
            CComBSTR name;
            UINT count = 0;
            if (desc->invkind == INVOKE_PROPERTYGET && desc->cParams == 0 &&
                SUCCEEDED(info->GetNames(desc->memid, &name, 1, &count)) && count == 1)
                members.emplace_back(std::u16string(name.view()), desc->memid);
            info->ReleaseFuncDesc(desc);
        }
        info->ReleaseTypeAttr(attr);
    }
    ComPtr<IDispatchEx> ex = ComPtr<IDispatch>(object).As<IDispatchEx>();
    if (ComPtr<IQuorvaneSerialisable> serialisable =
            ComPtr<IDispatch>(object).As<IQuorvaneSerialisable>()) {
        CComVariant names;
        FUZZ_CHECK(serialisable->GetMemberNames(&names) == S_OK);
        FUZZ_CHECK(names.vt == (VT_ARRAY | VT_BSTR));
        BSTR* items = nullptr;
        FUZZ_CHECK(SUCCEEDED(SafeArrayAccessData(names.parray, reinterpret_cast<void**>(&items))));
        for (ULONG i = 0; i < names.parray->rgsabound[0].cElements; ++i) {
            DISPID dispid = DISPID_UNKNOWN;
            FUZZ_CHECK(ex && ex->GetDispID(items[i], fdexNameCaseSensitive, &dispid) == S_OK);
            members.emplace_back(std::u16string(items[i], SysStringLen(items[i])), dispid);
        }
        SafeArrayUnaccessData(names.parray);
    } else if (members.empty() && ex) {
        DISPID dispid = DISPID_STARTENUM;
        while (ex->GetNextDispID(fdexEnumAll, dispid, &dispid) == S_OK) {
            CComBSTR name;
            FUZZ_CHECK(ex->GetMemberName(dispid, &name) == S_OK);
            members.emplace_back(std::u16string(name.view()), dispid);
        }
    }
    return members;
}

// `path` of names; `open`: the objects being walked, whose members a cycle back to them leaves
// out (as the writer does).
void Collect(IDispatch* object, const std::u16string& path, std::vector<IUnknown*>& open,
             Members* out) {
    ComPtr<IUnknown> identity;
    FUZZ_CHECK(SUCCEEDED(object->QueryInterface(IID_IUnknown, identity.put_void())));
    if (std::find(open.begin(), open.end(), identity.get()) != open.end()) return;
    open.push_back(identity.get());
    for (const auto& [name, dispid] : MembersOf(object)) {
        CComVariant value;
        if (FAILED(Get(object, dispid, &value))) continue;
        const std::u16string member = path + u"/" + name;
        const std::u16string type = TypeTextOf(value);
        if (IsContainerTypeText(type)) {
            ComPtr<IDispatch> child;
            FUZZ_CHECK(SUCCEEDED(value.punkVal->QueryInterface(IID_IDispatch, child.put_void())));
            (*out)[member] = type + u":";
            Collect(child.get(), member, open, out);
            continue;
        }
        CComVariant text;
        if (FAILED(VariantChangeType(&text, &value, value.vt == VT_BOOL ? VARIANT_ALPHABOOL : 0,
                                     VT_BSTR)))
            continue;
        (*out)[member] = type + u"=" + std::u16string(text.bstrVal, SysStringLen(text.bstrVal));
    }
    open.pop_back();
}

Members MembersOfTree(IDispatch* root) {
    CComVariant value(root);
    Members members{{u"", TypeTextOf(value)}};
    std::vector<IUnknown*> open;
    Collect(root, u"", open, &members);
    return members;
}

void Trace(const char* title, const Members& members) {
    std::fprintf(stderr, "%s:\n", title);
    for (const auto& [path, value] : members)
        std::fprintf(stderr, "  %s %s\n", Utf16ToUtf8(path).c_str(), Utf16ToUtf8(value).c_str());
}

// The input read with `reader`, then the round trips.
void CheckRoundTrips(Reader reader, std::string_view input) {
    static const bool trace = std::getenv("FUZZ_TRACE") != nullptr;
    WriteFile(input);
    HRESULT result = E_FAIL;
    ComPtr<IDispatch> first = ReadFile(reader, &result);
    if (trace)
        std::fprintf(stderr, "reader %d: %#x, %s\n", static_cast<int>(reader),
                     static_cast<unsigned>(result), first ? "an object" : "no object");
    if (!first) return;
    const Members members = MembersOfTree(first.get());
    const std::string a = Written(first.get());
    first = nullptr;

    WriteFile(a);
    ComPtr<IDispatch> second = ReadFile(reader, &result);
    FUZZ_CHECK(result == S_OK && second);
    const Members again = MembersOfTree(second.get());
    const std::string b = Written(second.get());
    second = nullptr;
    if (trace) {
        Trace("first", members);
        Trace("second", again);
        std::fprintf(stderr, "A:\n%s\nB:\n%s\n", a.c_str(), b.c_str());
    }
    for (const auto& [path, value] : members) {
        auto found = again.find(path);
        if (found == again.end() || found->second != value) {
            std::fprintf(stderr, "lost: %s %s\n", Utf16ToUtf8(path).c_str(),
                         Utf16ToUtf8(value).c_str());
            FUZZ_CHECK(false);
        }
    }

    WriteFile(b);
    ComPtr<IDispatch> third = ReadFile(reader, &result);
    FUZZ_CHECK(result == S_OK && third);
    FUZZ_CHECK(Written(third.get()) == b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TheRun();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (Reader reader : {Reader::kScript, Reader::kSchedules, Reader::kHolidays})
        CheckRoundTrips(reader, input);
    return 0;
}
