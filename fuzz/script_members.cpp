// Every script member a page reaches, called by name through IDispatch with arbitrary values.
//
// The members come from the type library's descriptions, so a member added there is called
// here without a change: those of the objects a page makes by name (the creatable classes of
// the object map, Packet and PacketFilter only as arguments, which packet_values covers), of the
// Global, and of every object a call hands out (the scheduler and its collections, security,
// backlight, configuration, the network handler, its filter chains and ports, timers, ...).
//
// The input is a little program: each step makes an object of a creatable class or calls a
// member of an object made or handed out so far, as a method, a getter or a put, with 0 to 3
// values (those of packet_values, and numbers at the edges of their ranges, odd dates, names
// with path separators and "..", long and broken UTF-16 text, functions that count their calls,
// expando objects, the library's objects).
//
// One Global serves the whole run. It is started once, with its data directory, settings store,
// home and working directory in a fresh temporary directory, and its serial port mapped to a
// path there that is no device; the working directory moves there too, so libFuzzer is given
// absolute paths (scripts/fuzz.sh does). What an input adds to the Global (event handlers,
// schedules, holidays, filters) is taken away at its end, and every object it made by name is
// destroyed, as the host does with a page's objects.
//
// Checked beyond the sanitizers: no call throws a C++ exception across the interface, every
// status is an HRESULT (success is S_OK or S_FALSE; a failure has a facility of the platform), a
// getter called after a put it accepted succeeds with a value of its declared type, and nothing
// is written outside the data directory (the directories around it, the working directory and
// a directory outside it that inputs name by absolute path stay as they were). A call that does
// not return is a hang, which libFuzzer reports.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "global/global.h"
#include "interfaces/type_library.h"
#include "module/object_map.h"
#include "network/network_handler.h"
#include "platform/bstr.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "script_values.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMaxSteps = 24;
constexpr std::size_t kMaxTargets = 64;

// Members a page may call that the run does not: each opens the serial device its port number
// names, which a page may have set to a real line of this machine (the Global's own start is
// done once, with port 0 mapped into the temporary directory).
bool Skipped(const InterfaceDesc& owner, const MemberDesc& member) {
    return (&owner == &IPort::Describe() && member.name == u"Open") ||
           (&owner == &IGlobal::Describe() && member.name == u"Start");
}

// The temporary directory of the run: root/home/data is the data directory, root/cwd the
// working directory, root/outside what inputs name by absolute path, root/settings.reg the
// settings store.
struct Sandbox {
    fs::path root;
    fs::path home;
    fs::path data;
    fs::path cwd;
    fs::path outside;

    Sandbox() {
        std::string pattern = fs::temp_directory_path() / "brevanto-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        root = pattern;
        home = root / "home";
        data = home / "data";
        cwd = root / "cwd";
        outside = root / "outside";
        for (const fs::path& d : {data, cwd, outside})
            fs::create_directories(d);
        setenv("BREVANTO_SETTINGS", (root / "settings.reg").c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        setenv("TMPDIR", cwd.c_str(), 1);
        FUZZ_CHECK(::chdir(cwd.c_str()) == 0);
    }

    // Whether anything appeared beside the data directory; says what.
    void CheckNothingOutside() const {
        Expect(root, {"home", "cwd", "outside", "settings.reg", "settings.reg.lock"});
        Expect(home, {"data"});
        Expect(cwd, {});
        Expect(outside, {});
    }

  private:
    static void Expect(const fs::path& directory, std::vector<std::string> allowed) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(directory, error)) {
            const std::string name = entry.path().filename().string();
            if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
                std::fprintf(stderr, "written outside the data directory: %s\n",
                             entry.path().c_str());
                FUZZ_CHECK(false);
            }
        }
    }
};

// The host application: every request succeeds and does nothing (Close and Restart too, so
// that pages may call them); the configuration names the data directory. Agile, so that
// forwards from the pool's threads never wait for the fuzzing thread.
class FuzzHost : public ComObjectRoot<FuzzHost, IHxApplication, IMarshal> {
  public:
    std::u16string data_directory;

    HRESULT Log(BSTR) override { return S_OK; }
    HRESULT LoadScript(BSTR, BSTR, LONG* result) override {
        if (result) *result = 0;
        return S_OK;
    }
    HRESULT RemoveScript(BSTR) override { return S_OK; }
    HRESULT Restart() override { return S_OK; }
    HRESULT Persist(BSTR, IDispatch*) override { return S_OK; }
    HRESULT UnPersist(BSTR, IDispatch** object) override { return None(object); }
    HRESULT GoToPage(BSTR) override { return S_OK; }
    HRESULT GetScript(BSTR, IDispatch** script) override { return None(script); }
    HRESULT Calibrate(LONG) override { return S_OK; }
    HRESULT Version(IDispatch** version) override { return None(version); }
    HRESULT put_DHCP(LONG) override { return S_OK; }
    HRESULT get_DHCP(LONG* value) override { return *value = 0, S_OK; }
    HRESULT put_IPAddress(BSTR) override { return S_OK; }
    HRESULT get_IPAddress(BSTR* value) override { return Text(value); }
    HRESULT put_Subnet(BSTR) override { return S_OK; }
    HRESULT get_Subnet(BSTR* value) override { return Text(value); }
    HRESULT put_Gateway(BSTR) override { return S_OK; }
    HRESULT get_Gateway(BSTR* value) override { return Text(value); }
    HRESULT put_DNS1(BSTR) override { return S_OK; }
    HRESULT get_DNS1(BSTR* value) override { return Text(value); }
    HRESULT put_DNS2(BSTR) override { return S_OK; }
    HRESULT get_DNS2(BSTR* value) override { return Text(value); }
    HRESULT SetLocalTime(IDispatch*) override { return S_OK; }
    HRESULT GetConfigFile(BSTR* path) override {
        *path = SysAllocStringLen(data_directory.data(), static_cast<UINT>(data_directory.size()));
        return S_OK;
    }
    HRESULT document(IDispatch** document) override { return None(document); }
    HRESULT window(IDispatch** window) override { return None(window); }
    HRESULT Close() override { return S_OK; }

  private:
    static HRESULT None(IDispatch** out) {
        if (out) *out = nullptr;
        return S_OK;
    }
    static HRESULT Text(BSTR* out) {
        *out = SysAllocString(u"10.0.0.1");
        return S_OK;
    }
};

// A script function: counts its calls, from any thread, and returns nothing.
class CountingFunction : public ComObjectRoot<CountingFunction, IDispatch, IMarshal> {
  public:
    std::atomic<long> calls{0};

    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
        calls.fetch_add(1, std::memory_order_relaxed);
        if (result) VariantClear(result);
        return S_OK;
    }
};

// A late-bound call by name, arguments in script order; a put passes its value as the named
// DISPID_PROPERTYPUT argument. No C++ exception may leave the call, and its status must be an
// HRESULT.
HRESULT Call(IDispatch* object, std::u16string_view name, WORD flags, std::vector<CComVariant> args,
             CComVariant* result) {
    static const bool trace = std::getenv("FUZZ_TRACE") != nullptr;
    const std::u16string text(name);
    LPOLESTR names[] = {const_cast<LPOLESTR>(text.c_str())};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    FUZZ_CHECK(hr == S_OK);
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    const bool is_put = flags & DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), is_put ? &put : nullptr, static_cast<UINT>(reversed.size()),
                      is_put && !args.empty() ? 1u : 0u};
    if (trace) {
        std::fprintf(stderr, "%s %s",
                     flags == DISPATCH_METHOD        ? "call"
                     : flags == DISPATCH_PROPERTYGET ? "get"
                                                     : "put",
                     Utf16ToUtf8(name).c_str());
        for (const VARIANT& arg : args)
            std::fprintf(stderr, " vt=%#x", arg.vt);
        std::fflush(stderr);
    }
    EXCEPINFO error{};
    try {
        hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &error,
                            nullptr);
    } catch (...) {
        std::fprintf(stderr, "a C++ exception left %s\n", Utf16ToUtf8(name).c_str());
        FUZZ_CHECK(false);
    }
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
    SysFreeString(error.bstrHelpFile);
    if (trace) std::fprintf(stderr, " -> %#x vt=%#x\n", static_cast<unsigned>(hr), result->vt);
    if (SUCCEEDED(hr)) {
        FUZZ_CHECK(hr == S_OK || hr == S_FALSE);
    } else {
        // Null, remote calls, dispatch, storage, interfaces, system errors.
        const unsigned facility = (static_cast<unsigned>(hr) >> 16) & 0x1FFF;
        FUZZ_CHECK(facility <= 4 || facility == 7);
    }
    return hr;
}

ComPtr<IDispatch> Property(IDispatch* object, const char16_t* name) {
    CComVariant value;
    FUZZ_CHECK(Call(object, name, DISPATCH_PROPERTYGET, {}, &value) == S_OK);
    FUZZ_CHECK(value.vt == VT_DISPATCH && value.pdispVal);
    return ComPtr<IDispatch>(value.pdispVal);
}

LONG CountOf(IDispatch* collection) {
    CComVariant count;
    FUZZ_CHECK(Call(collection, u"Count", DISPATCH_PROPERTYGET, {}, &count) == S_OK);
    FUZZ_CHECK(SUCCEEDED(VariantChangeType(&count, &count, 0, VT_I4)));
    return count.lVal;
}

// The collections of the Global that inputs add to.
constexpr std::pair<const char16_t*, const char16_t*> kCollections[] = {
    {u"Scheduler", u"Schedules"},
    {u"Scheduler", u"PublicHolidays"},
    {u"NetworkHandler", u"InFilters"},
    {u"NetworkHandler", u"OutFilters"},
};

struct Run {
    Sandbox sandbox;
    ComPtr<FuzzHost> host;
    ComPtr<IDispatch> global;
    CGlobal* native_global = nullptr;
    std::vector<const ObjectMapEntry*> creatable;  // every class of the map but the Global
    std::u16string outside;                        // a name inside root/outside, absolute

    Run() {
        // Port 0 is COM1:, mapped to a path where no device is.
        {
            CRegKey network;
            FUZZ_CHECK(network.Create(HKEY_CURRENT_USER, CNetworkHandler::kSettingsKey) ==
                       ERROR_SUCCESS);
            FUZZ_CHECK(network.SetDWORDValue(CNetworkHandler::kPort0Value, 1) == ERROR_SUCCESS);
            CRegKey serial;
            FUZZ_CHECK(serial.Create(HKEY_CURRENT_USER, kSerialDeviceKey) == ERROR_SUCCESS);
            const std::u16string no_device = Utf8ToUtf16((sandbox.data / "no-device").string());
            FUZZ_CHECK(serial.SetStringValue(u"COM1:", no_device.c_str()) == ERROR_SUCCESS);
        }
        outside = Utf8ToUtf16((sandbox.outside / "name").string());
        for (const ObjectMapEntry* e = BrevantoObjectMap(); e->clsid; ++e) {
            if (*e->clsid == CLSID_Global)
                FUZZ_CHECK(
                    SUCCEEDED(e->create_instance(nullptr, IID_IDispatch, global.put_void())));
            else
                creatable.push_back(e);
        }
        native_global = CurrentGlobal::Get().As<CGlobal>();
        FUZZ_CHECK(native_global != nullptr);
        FUZZ_CHECK(SUCCEEDED(MakeComObject(&host)));
        host->data_directory = Utf8ToUtf16(sandbox.data.string());
        FUZZ_CHECK(native_global->SetApplication(static_cast<IHxApplication*>(host.get())) == S_OK);
        FUZZ_CHECK(native_global->Start() == S_OK);
        for (auto [service, name] : kCollections) {
            ComPtr<IDispatch> collection = Property(Property(global.get(), service).get(), name);
            const LONG count = CountOf(collection.get());
            collections.emplace_back(std::move(collection), count);
        }
    }

    // The scheduler's collections and the filter chains, with their sizes at the start.
    std::vector<std::pair<ComPtr<IDispatch>, LONG>> collections;
};

Run& TheRun() {
    static Run* run = new Run;  // lives as long as the process: the Global ends with it
    static const int removed_at_exit = std::atexit([] {
        std::error_code ignored;
        fs::remove_all(run->sandbox.root, ignored);
    });
    (void)removed_at_exit;
    return *run;
}

const InterfaceDesc* DescriptionOf(IDispatch* object) {
    ComPtr<ITypeInfo> info;
    if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) || !info) return nullptr;
    for (const InterfaceDesc* desc : BrevantoTypeLibrary().interfaces)
        if (desc->type_info() == info.get()) return desc;
    return nullptr;
}

// An object to call, with the descriptions of what it answers to.
struct Target {
    ComPtr<IDispatch> object;
    std::vector<const InterfaceDesc*> descriptions;
};

// The values of packet_values, and more of what pages pass.
class PageValues : public ValueMaker {
  public:
    static constexpr int kKinds = 6;

    PageValues(FuzzInput& input, IDispatch* self, Run& run)
        : ValueMaker(input, self, kKinds), run_(run) {}

    // Objects the values hold that call back: functions, library objects.
    void KeepObject(ComPtr<IDispatch> object) { Keep(std::move(object)); }
    const std::vector<ComPtr<IDispatch>>& Objects() const { return objects_; }
    // The library's objects the values made by name, as a page does with `new`.
    const std::vector<ComPtr<IDispatch>>& Made() const { return made_; }

  protected:
    CComVariant Extra(int kind, int depth) override {
        switch (kind) {
            case 0:
                return EdgeNumber();
            case 1:
                return EdgeDouble();
            case 2:
                return OddText();
            case 3: {
                if (objects_.size() >= kMaxObjects) return Reused();
                ComPtr<CountingFunction> function;
                FUZZ_CHECK(SUCCEEDED(MakeComObject(&function)));
                return Keep(function.As<IDispatch>());
            }
            case 4:
                return Expando(depth);
            default:
                return LibraryObject();
        }
    }

  private:
    CComVariant EdgeNumber() {
        static constexpr long long kEdges[] = {INT_MIN,     INT_MAX,
                                               -1,          0,
                                               1,           2,
                                               7,           12,
                                               13,          23,
                                               24,          31,
                                               59,          60,
                                               255,         256,
                                               65535,       65536,
                                               86400,       4294968,
                                               -600000,     0x60000000,
                                               0x7FFFFFFF,  0x80000000LL,
                                               0xFFFFFFFF,  0x100000000LL,
                                               2958465,     -657435,
                                               1000000000,  2000000000,
                                               INT_MIN + 1, 0x40000000,
                                               -2147483,    LLONG_MIN,
                                               LLONG_MAX};
        const long long n = kEdges[in_.InRange<std::size_t>(0, std::size(kEdges) - 1)];
        CComVariant v;
        switch (in_.InRange(0, 5)) {
            case 0:
                v = CComVariant(static_cast<LONG>(n));
                break;
            case 1:
                v = CComVariant(static_cast<double>(n));
                break;
            case 2:
                v.vt = VT_UI4;
                v.ulVal = static_cast<ULONG>(n);
                break;
            case 3:
                v.vt = VT_I8;
                v.llVal = n;
                break;
            case 4:
                v.vt = VT_I2;
                v.iVal = static_cast<SHORT>(n);
                break;
            default: {
                const std::string text = std::to_string(n);
                v = CComVariant(std::u16string(text.begin(), text.end()).c_str());
                break;
            }
        }
        return v;
    }

    CComVariant EdgeDouble() {
        static constexpr double kEdges[] = {
            NAN,       INFINITY,  -INFINITY, DBL_MAX, -DBL_MAX,     DBL_MIN,       -0.0,
            0.5,       -0.5,      1e10,      -1e10,   1e300,        2958465.99999, 2958466.0,
            -657434.0, -657435.5, 1e19,      -1e19,   4294967295.5, 2147483647.5,  -2147483648.5};
        CComVariant v(kEdges[in_.InRange<std::size_t>(0, std::size(kEdges) - 1)]);
        if (in_.Bool()) v.vt = VT_DATE;  // same place in the variant
        return v;
    }

    // Names a page might pass where the library makes a file name of one.
    CComVariant OddText() {
        std::u16string text;
        switch (in_.InRange(0, 9)) {
            case 0:
                text = u"..";
                break;
            case 1:
                text = u"../name";
                break;
            case 2:
                text = u"../../name";
                break;
            case 3:
                text = run_.outside;
                break;
            case 4:
                text = u"a/b\\..\\..\\..\\name";
                break;
            case 5:
                text = u"/";
                break;
            case 6: {
                // Long: up to 64 Ki characters.
                text.assign(static_cast<std::size_t>(in_.InRange(1, 16)) * 4096, u'A');
                break;
            }
            case 7:
                // Broken UTF-16: lone surrogates, a nul inside, the last character.
                text = {0xD800, u'a', 0xDFFF, 0, 0xFFFF, 0xDC00, 0xD83D};
                break;
            case 8:
                text = u"COM1:";
                break;
            default:
                text = u"";
                break;
        }
        if (in_.Bool()) {
            // A suffix a data file would have.
            text += in_.Bool() ? u".xml" : u"/";
        }
        CComVariant v;
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return v;
    }

    // An object with members of any names and values, as `{ Name: ..., Area: 5 }` in a page.
    CComVariant Expando(int depth) {
        if (objects_.size() >= kMaxObjects) return Reused();
        static constexpr const char16_t* kNames[] = {
            u"Name", u"Area",  u"Join", u"Channel", u"Preset", u"Level", u"Hours", u"Minutes",
            u"Year", u"Month", u"Day",  u"value",   u"length", u"0",     u"1",     u"Opcode"};
        ComPtr<CDispExObject> object;
        FUZZ_CHECK(SUCCEEDED(CDispExObject::Create(&object)));
        const int count = in_.InRange(0, 4);
        for (int i = 0; i < count; ++i) {
            const char16_t* name = kNames[in_.InRange<std::size_t>(0, std::size(kNames) - 1)];
            object->members().SetValue(name, depth < kMaxDepth ? Make(depth + 1) : CComVariant());
        }
        return Keep(object.As<IDispatch>());
    }

    CComVariant LibraryObject() {
        if (objects_.size() >= kMaxObjects) return Reused();
        const auto& classes = run_.creatable;
        const ObjectMapEntry* entry = classes[in_.InRange<std::size_t>(0, classes.size() - 1)];
        ComPtr<IDispatch> object;
        if (FAILED(entry->create_instance(nullptr, IID_IDispatch, object.put_void())) || !object)
            return CComVariant();
        made_.push_back(object);
        return Keep(std::move(object));
    }

    Run& run_;
    std::vector<ComPtr<IDispatch>> made_;
};

const MemberDesc* Getter(const InterfaceDesc& desc, const MemberDesc& put) {
    const MemberDesc* get = desc.Find(put.dispid, MemberKind::Get);
    if (!get || get->params.size() + 1 != put.params.size()) return nullptr;
    return get;
}

// Whether a value is of the automation type `vt`, as a getter declares it.
bool OfType(const VARIANT& value, VARTYPE vt) {
    if (vt == VT_VARIANT) return !(value.vt & VT_BYREF);
    if (vt == VT_HRESULT || vt == VT_EMPTY) return value.vt == VT_EMPTY;
    return value.vt == vt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Run& run = TheRun();
    FuzzInput input(data, size);
    const std::vector<const InterfaceDesc*> global_descriptions{&IGlobal::Describe(),
                                                                &IDefaultPackets::Describe()};
    std::vector<ULONG> handlers;  // registered by this input
    {
        std::vector<Target> targets{{run.global, global_descriptions}};
        std::vector<ComPtr<IDispatch>> made;  // by name, by this input
        PageValues values(input, run.global.get(), run);
        auto add_target = [&](IDispatch* object) {
            if (targets.size() >= kMaxTargets) return;
            for (const Target& t : targets)
                if (t.object.get() == object) return;
            const InterfaceDesc* desc = DescriptionOf(object);
            // Packets and filters are arguments only: packet_values calls their members.
            if (!desc || desc == &IPacket::Describe() || desc == &IPacketFilter::Describe()) return;
            targets.push_back({ComPtr<IDispatch>(object), {desc}});
        };
        for (int step = 0; step < kMaxSteps && input.remaining() > 0; ++step) {
            if (input.InRange(0, 5) == 0) {
                // `new Brevanto.Schedule()` and the like.
                const auto& classes = run.creatable;
                const ObjectMapEntry* entry =
                    classes[input.InRange<std::size_t>(0, classes.size() - 1)];
                ComPtr<IDispatch> object;
                FUZZ_CHECK(
                    SUCCEEDED(entry->create_instance(nullptr, IID_IDispatch, object.put_void())));
                add_target(object.get());
                values.KeepObject(object);
                made.push_back(std::move(object));
                continue;
            }
            const Target& target = targets[input.InRange<std::size_t>(0, targets.size() - 1)];
            const InterfaceDesc& desc =
                *target.descriptions[input.InRange<std::size_t>(0, target.descriptions.size() - 1)];
            const auto& members = desc.functions();
            const MemberDesc& member = *members[input.InRange<std::size_t>(0, members.size() - 1)];
            if (Skipped(desc, member)) continue;
            // Mostly as declared; sometimes another way, or with another number of arguments.
            WORD flags = static_cast<WORD>(member.kind);
            if (flags == static_cast<WORD>(MemberKind::PutRef) || input.InRange(0, 7) == 0)
                flags = static_cast<WORD>(1 << input.InRange(0, 2));
            std::size_t count = member.params.size();
            if (count > 3 || input.InRange(0, 7) == 0) count = input.InRange<std::size_t>(0, 3);
            std::vector<CComVariant> args;
            for (std::size_t i = 0; i < count; ++i)
                args.push_back(values.Make());
            ComPtr<IDispatch> self = target.object;  // `targets` may grow below
            CComVariant result;
            const HRESULT hr = Call(self.get(), member.name, flags, args, &result);
            if (SUCCEEDED(hr) && (member.name == u"RegisterForEvent" ||
                                  member.name == u"_RegisterPlaceholderForEvent")) {
                CComVariant id;
                if (SUCCEEDED(VariantChangeType(&id, &result, 0, VT_UI4)))
                    handlers.push_back(id.ulVal);
            }
            if (result.vt == VT_DISPATCH && result.pdispVal) {
                add_target(result.pdispVal);
                values.KeepObject(ComPtr<IDispatch>(result.pdispVal));
            }
            // A put that was accepted reads back as a value of the getter's type, unless an
            // index named the element by its object or its name, which the put replaced.
            const bool by_position =
                std::all_of(args.begin(), args.end() - (args.empty() ? 0 : 1), [](const auto& a) {
                    const VARTYPE vt = a.vt & ~VT_BYREF;
                    return vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN &&
                           vt != VT_VARIANT;
                });
            if (flags == DISPATCH_PROPERTYPUT && hr == S_OK && member.kind == MemberKind::Put &&
                count == member.params.size() && by_position) {
                if (const MemberDesc* get = Getter(desc, member)) {
                    args.pop_back();
                    CComVariant read;
                    const HRESULT got =
                        Call(self.get(), get->name, DISPATCH_PROPERTYGET, args, &read);
                    if (!SUCCEEDED(got) || !OfType(read, get->result_vt)) {
                        std::fprintf(stderr, "%s read back as vt=%#x (%#x) after a put\n",
                                     Utf16ToUtf8(member.name).c_str(), read.vt,
                                     static_cast<unsigned>(got));
                        FUZZ_CHECK(false);
                    }
                }
            }
        }
        // What the input left in the Global goes: handlers, and what it added to the
        // scheduler's collections and the filter chains.
        IGlobal* global = static_cast<IGlobal*>(run.native_global);
        for (ULONG id : handlers)
            global->UnRegisterForEvent(id);
        // Every object made by name, as a step or as a value, is destroyed, as the host does
        // with a page's objects when the page ends: a filter and its script object hold each
        // other until then.
        made.insert(made.end(), values.Made().begin(), values.Made().end());
        for (const ComPtr<IDispatch>& object : made) {
            if (ComPtr<IDLTimer> timer = object.As<IDLTimer>()) timer->Cancel();
            if (ComPtr<IDestroy> destroy = object.As<IDestroy>()) destroy->Destroy();
        }
        for (const ComPtr<IDispatch>& object : values.Objects()) {
            if (ComPtr<IDLTimer> timer = object.As<IDLTimer>()) timer->Cancel();
        }
        for (const auto& [collection, start] : run.collections) {
            for (LONG count = CountOf(collection.get()); count > start; --count) {
                CComVariant ignored;
                Call(collection.get(), u"Remove", DISPATCH_METHOD,
                     {CComVariant(static_cast<LONG>(count - 1))}, &ignored);
            }
        }
    }
    run.native_global->WaitUntilPoolIdle();
    run.sandbox.CheckNothingOutside();
    return 0;
}
