// The module over a test object map, and the real libbrevanto.so through the loader.
#include "module/module.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <filesystem>

#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/settings_store.h"
#include "support/late_bound.h"
#include "support/nameless_dispatch.h"

namespace {

namespace fs = std::filesystem;

int g_constructed = 0, g_destroyed = 0;

class CWidget : public ComObjectRoot<CWidget, NamelessDispatch> {
  public:
    CWidget() { ++g_constructed; }
    ~CWidget() { ++g_destroyed; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return S_OK;
    }
};

constexpr CLSID kWidgetClsid{0x7e570001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr CLSID kGadgetClsid{0x7e570002, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
int g_factories_made = 0;
HRESULT CountingFactory(const ObjectMapEntry& entry, IClassFactory** factory) {
    ++g_factories_made;
    return CreateClassFactory(entry, factory);
}

ObjectMapEntry WidgetEntry() {
    ObjectMapEntry e = ObjectEntry<CWidget>(kWidgetClsid, u"Test.Widget.1", u"Test.Widget",
                                            u"Widget Class", kSafeForScriptingAndInitializing);
    e.create_factory = &CountingFactory;
    return e;
}
const ObjectMapEntry kTestMap[] = {
    WidgetEntry(),
    ObjectEntry<CWidget>(kGadgetClsid, u"Test.Gadget.1", u"Test.Gadget", u"Gadget Class"),
    kObjectMapEnd,
};

std::u16string Text(const GUID& guid) {
    return Utf8ToUtf16(GuidToString(guid));
}

// A key's value (its default value without a name), or what is missing.
std::u16string RegistryText(const std::u16string& path, const char16_t* name = nullptr) {
    CRegKey key;
    std::u16string value;
    if (key.Open(HKEY_CLASSES_ROOT, path.c_str()) != ERROR_SUCCESS) return u"<no key>";
    if (key.QueryStringValue(name, &value) != ERROR_SUCCESS) return u"<no value>";
    return value;
}

// The class registered under `name`; GUID_NULL, with the look-up saying so, when there is none.
CLSID ClassOf(const char16_t* name) {
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(name, &clsid);
    EXPECT_EQ(hr, clsid == GUID_NULL ? CO_E_CLASSSTRING : S_OK) << Utf16ToUtf8(name);
    return clsid;
}

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override { g_constructed = g_destroyed = g_factories_made = 0; }
    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK,
                  module_.GetClassObject(kWidgetClsid, IID_IClassFactory, factory.put_void()));
        return factory;
    }

    CMyComModule module_{kTestMap, u"/opt/brevanto/libtest.so"};
};

TEST_F(ModuleTest, FactoriesAreMadeOnceForKnownClassesAndOnlyObjectsAndLocksHoldTheModule) {
    EXPECT_EQ(E_POINTER, module_.GetClassObject(kWidgetClsid, IID_IClassFactory, nullptr));
    EXPECT_EQ(E_POINTER, Factory()->CreateInstance(nullptr, IID_IDispatch, nullptr));
    ComPtr<IUnknown> none;
    EXPECT_EQ(E_NOINTERFACE, module_.GetClassObject(kWidgetClsid, IID_IDispatch, none.put_void()));

    ComPtr<IClassFactory> a = Factory(), b = Factory();
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(1, g_factories_made);
    EXPECT_EQ(0, module_.GetLockCount());  // the factories it holds do not lock it
    EXPECT_EQ(S_OK, module_.CanUnloadNow());
    ComPtr<IDispatch> widget;
    ASSERT_EQ(S_OK, a->CreateInstance(nullptr, IID_IDispatch, widget.put_void()));
    EXPECT_EQ(S_FALSE, module_.CanUnloadNow());
    widget = nullptr;
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(S_OK, module_.CanUnloadNow());
    ASSERT_EQ(S_OK, a->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, module_.CanUnloadNow());
    ASSERT_EQ(S_OK, a->LockServer(FALSE));
    EXPECT_EQ(S_OK, module_.CanUnloadNow());
}

TEST_F(ModuleTest, RegistrationRoundTrip) {
    const std::u16string clsid = Text(kWidgetClsid), key = u"CLSID\\" + clsid;
    {
        CRegKey stale;  // left by an older registration; the class key is rewritten
        ASSERT_EQ(ERROR_SUCCESS, stale.Create(HKEY_CLASSES_ROOT, (key + u"\\Stale").c_str()));
    }
    ASSERT_EQ(S_OK, module_.RegisterServer());
    const std::u16string libid = Text(LIBID_Brevanto);
    // clang-format off
    const std::pair<std::u16string, std::u16string> defaults[] = {
        {u"Test.Widget.1", u"Widget Class"}, {u"Test.Widget.1\\CLSID", clsid},
        {u"Test.Widget", u"Widget Class"}, {u"Test.Widget\\CLSID", clsid},
        {u"Test.Widget\\CurVer", u"Test.Widget.1"}, {key, u"Widget Class"},
        {key + u"\\ProgID", u"Test.Widget.1"},
        {key + u"\\VersionIndependentProgID", u"Test.Widget"},
        {key + u"\\InprocServer32", u"/opt/brevanto/libtest.so"}, {key + u"\\TypeLib", libid},
        {u"TypeLib\\" + libid + u"\\1.5", u"Brevanto 1.5 Type Library"},
        {key + u"\\Programmable", u"<no value>"}, {key + u"\\Stale", u"<no key>"},
        {key + u"\\Implemented Categories\\" + Text(CATID_SafeForScripting), u"<no value>"},
        {u"CLSID\\" + Text(kGadgetClsid) + u"\\Implemented Categories", u"<no key>"}};
    // clang-format on
    for (const auto& [path, value] : defaults)
        EXPECT_EQ(RegistryText(path), value) << Utf16ToUtf8(path);
    EXPECT_EQ(RegistryText(key + u"\\InprocServer32", u"ThreadingModel"), u"Both");

    for (const char16_t* name : {u"Test.Widget", u"test.widget.1", clsid.c_str()})
        EXPECT_EQ(kWidgetClsid, ClassOf(name));
    EXPECT_EQ(GUID_NULL, ClassOf(u"Test.Nothing"));
    // Offered by the host, the class is created through the registry.
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(kWidgetClsid, Factory().get(), CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookie));
    ComPtr<IDispatch> widget;
    EXPECT_EQ(S_OK, CoCreateInstance(kWidgetClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     widget.put_void()));
    EXPECT_TRUE(widget);
    EXPECT_EQ(1, g_constructed);
    EXPECT_EQ(S_OK, CoRevokeClassObject(cookie));
    constexpr CLSID unregistered{0x7e57fffe, 0, 0, {0}};
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(unregistered, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IDispatch, widget.put_void()));
    EXPECT_EQ(nullptr, widget.get());

    EXPECT_EQ(S_OK, module_.UnregisterServer());
    for (const std::u16string& gone :
         {std::u16string(u"Test.Widget.1"), std::u16string(u"Test.Widget"), key})
        EXPECT_EQ(RegistryText(gone), u"<no key>") << Utf16ToUtf8(gone);
    EXPECT_NE(RegistryText(u"CLSID"), u"<no key>");  // never removed as a whole
    EXPECT_EQ(GUID_NULL, ClassOf(u"Test.Widget"));
    // Nothing left to remove is still success.
    EXPECT_EQ(S_OK, module_.UnregisterServer());
}

// The loadable module as a host sees it, and the messages it registers.
TEST(LoadedLibrary, ExportsTheFourEntryPointsAndHostsCreateAndLoadItsClassesByName) {
    EXPECT_EQ(RestartAppMessage(), RegisterWindowMessageW(u"Brevanto_Restart_App"));
    EXPECT_EQ(ShutdownNicelyMessage(), RegisterWindowMessageW(u"brevanto_shutdown_nicely"));
    void* const handle = dlopen(BREVANTO_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << dlerror();
    auto* get_class_object =
        reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(dlsym(handle, "DllGetClassObject"));
    auto* can_unload = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
    auto* register_server = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllRegisterServer"));
    auto* unregister_server = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllUnregisterServer"));
    ASSERT_TRUE(get_class_object && can_unload && register_server && unregister_server);
    EXPECT_EQ(nullptr, dlsym(handle, "_Z9TheModulev"));  // nothing else is exported

    void* object = reinterpret_cast<void*>(1);  // a class it does not serve: cleared
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              get_class_object(kWidgetClsid, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(S_OK, can_unload());

    // Registration records the library's own file (found through the loader).
    ASSERT_EQ(S_OK, register_server());
    EXPECT_EQ(fs::canonical(BREVANTO_MODULE_FILE),
              fs::path(Utf16ToUtf8(
                  RegistryText(u"TypeLib\\" + Text(LIBID_Brevanto) + u"\\1.5\\0\\linux"))));

    // Hosts create registered classes by name.
    const CLSID packet_class = ClassOf(u"brevanto.packet");
    EXPECT_EQ(ClassOf(u"Brevanto.Packet.1"), packet_class);
    EXPECT_EQ(GUID_NULL, ClassOf(u"Brevanto.NoSuchThing"));

    // The object comes from the registered file, and keeps the module loaded while it lives.
    ComPtr<IDispatch> packet;
    ASSERT_EQ(S_OK, CoCreateInstance(packet_class, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     packet.put_void()));
    EXPECT_EQ(S_OK, LookUp(packet.get(), u"count"));
    EXPECT_EQ(S_FALSE, can_unload());
    packet = nullptr;
    EXPECT_EQ(S_OK, can_unload());

    // The security class is registered on its own, for its creator's apartment.
    const CLSID security = ClassOf(u"Halcyd.HxSecurity.1");
    EXPECT_EQ(RegistryText(u"CLSID\\" + Text(security) + u"\\InprocServer32", u"ThreadingModel"),
              u"Apartment");
    ComPtr<IDispatch> users;
    ASSERT_EQ(S_OK, CoCreateInstance(security, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     users.put_void()));
    EXPECT_EQ(S_OK, LookUp(users.get(), u"currentuser"));
    users = nullptr;

    EXPECT_EQ(S_OK, unregister_server());
    EXPECT_EQ(GUID_NULL, ClassOf(u"Brevanto.Packet"));
    EXPECT_EQ(GUID_NULL, ClassOf(u"Halcyd.HxSecurity"));

    // A class registered against the library file: the loader finds the file and its entry
    // point, which answers for its own table.
    constexpr CLSID foreign{0x7e57fffd, 0, 0, {0}};
    const std::u16string key = u"CLSID\\" + Text(foreign) + u"\\InprocServer32";
    CRegKey server;
    ASSERT_EQ(ERROR_SUCCESS, server.Create(HKEY_CLASSES_ROOT, key.c_str()));
    ASSERT_EQ(ERROR_SUCCESS,
              server.SetStringValue(nullptr, Utf8ToUtf16(BREVANTO_MODULE_FILE).c_str()));
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, CoGetClassObject(foreign, CLSCTX_INPROC_SERVER, nullptr,
                                                          IID_IClassFactory, factory.put_void()));
    ASSERT_EQ(ERROR_SUCCESS, server.SetStringValue(nullptr, u"/nonexistent/libnothing.so"));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoGetClassObject(foreign, CLSCTX_INPROC_SERVER, nullptr,
                                                    IID_IClassFactory, factory.put_void()));
    EXPECT_NE(std::string::npos,
              ::testing::internal::GetCapturedStderr().find("cannot load /nonexistent"));
    CRegKey root;
    ASSERT_EQ(ERROR_SUCCESS, root.Open(HKEY_CLASSES_ROOT, u"CLSID"));
    root.RecurseDeleteKey(Text(foreign).c_str());
    dlclose(handle);
}

}  // namespace
