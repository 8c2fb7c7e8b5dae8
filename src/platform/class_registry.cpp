// Creating classes by name: the registrations in the settings store and the modules they name.
#include <dlfcn.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/comptr.h"
#include "platform/settings_store.h"

namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);

struct Registry {
    std::mutex mutex;
    // Modules stay loaded for the life of the process once a class of theirs was asked for.
    std::map<std::string, GetClassObjectFn> modules;
    std::map<DWORD, std::pair<CLSID, ComPtr<IUnknown>>> class_objects;
    DWORD next_cookie = 0;
};

Registry& TheRegistry() {
    static auto* registry = new Registry;
    return *registry;
}

// The default value of a key under the class root; false when absent.
bool ReadDefault(const std::u16string& path, std::u16string* value) {
    CRegKey key;
    return key.Open(HKEY_CLASSES_ROOT, path.c_str()) == ERROR_SUCCESS &&
           key.QueryStringValue(nullptr, value) == ERROR_SUCCESS;
}

ComPtr<IUnknown> RegisteredClassObject(REFCLSID clsid) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    for (auto& [cookie, entry] : r.class_objects)
        if (entry.first == clsid) return entry.second;
    return nullptr;
}

}  // namespace

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
    if (!progid || !clsid) return E_INVALIDARG;
    *clsid = GUID_NULL;
    if (progid[0] == u'{') return CLSIDFromString(progid, clsid);
    std::u16string text;
    if (!ReadDefault(std::u16string(progid) + u"\\CLSID", &text)) return CO_E_CLASSSTRING;
    return CLSIDFromString(text.c_str(), clsid) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD, DWORD, DWORD* cookie) {
    if (!factory || !cookie) return E_INVALIDARG;
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    do {
        ++r.next_cookie;
    } while (r.next_cookie == 0 || r.class_objects.count(r.next_cookie));
    r.class_objects.emplace(r.next_cookie, std::make_pair(clsid, ComPtr<IUnknown>(factory)));
    *cookie = r.next_cookie;
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    ComPtr<IUnknown> gone;  // released outside the lock
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.class_objects.find(cookie);
    if (it == r.class_objects.end()) return E_INVALIDARG;
    gone = std::move(it->second.second);
    r.class_objects.erase(it);
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD, void*, REFIID riid, void** object) {
    if (!object) return E_INVALIDARG;
    *object = nullptr;
    if (ComPtr<IUnknown> offered = RegisteredClassObject(clsid))
        return offered->QueryInterface(riid, object);

    std::u16string path;
    if (!ReadDefault(u"CLSID\\" + Utf8ToUtf16(GuidToString(clsid)) + u"\\InprocServer32", &path) ||
        path.empty())
        return REGDB_E_CLASSNOTREG;
    const std::string file = Utf16ToUtf8(path);
    GetClassObjectFn get_class_object = nullptr;
    {
        Registry& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        auto it = r.modules.find(file);
        if (it != r.modules.end()) {
            get_class_object = it->second;
        } else {
            void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                std::fprintf(stderr, "class registry: cannot load %s: %s\n", file.c_str(),
                             dlerror());
                return REGDB_E_CLASSNOTREG;
            }
            get_class_object =
                reinterpret_cast<GetClassObjectFn>(dlsym(module, "DllGetClassObject"));
            if (!get_class_object) {
                dlclose(module);
                return REGDB_E_CLASSNOTREG;
            }
            r.modules.emplace(file, get_class_object);
        }
    }
    return get_class_object(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, riid, object);
}
