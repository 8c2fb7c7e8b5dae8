#include "module/module.h"

#include <dlfcn.h>

#include <filesystem>

#include "interfaces/host.h"
#include "module/registration.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/settings_store.h"

namespace {

// Registered while the module loads, before any entry point runs.
const UINT g_restart_app_message = RegisterWindowMessageW(kRestartAppMessageName);
const UINT g_shutdown_nicely_message = RegisterWindowMessageW(kShutdownNicelyMessageName);

size_t EntryCount(const ObjectMapEntry* map) {
    size_t n = 0;
    while (map && map[n].clsid)
        ++n;
    return n;
}

}  // namespace

UINT RestartAppMessage() {
    return g_restart_app_message;
}

UINT ShutdownNicelyMessage() {
    return g_shutdown_nicely_message;
}

std::u16string ThisModulePath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&ThisModulePath), &info) || !info.dli_fname) return {};
    std::error_code ec;
    std::filesystem::path path = std::filesystem::weakly_canonical(info.dli_fname, ec);
    if (ec) path = info.dli_fname;
    return Utf8ToUtf16(path.string());
}

CMyComModule::CMyComModule(const ObjectMapEntry* map, std::u16string module_path)
    : map_(map),
      module_path_(module_path.empty() ? ThisModulePath() : std::move(module_path)),
      factories_(EntryCount(map)) {
    for (size_t i = 0; i < factories_.size(); ++i)
        map_[i].object_main(true);
}

CMyComModule::~CMyComModule() {
    factories_.clear();
    for (size_t i = 0; i < EntryCount(map_); ++i)
        map_[i].object_main(false);
}

LONG CMyComModule::Lock() {
    ModuleLock();
    return ModuleLockCount();
}

LONG CMyComModule::Unlock() {
    ModuleUnlock();
    return ModuleLockCount();
}

LONG CMyComModule::GetLockCount() const {
    return ModuleLockCount();
}

const ObjectMapEntry* CMyComModule::Find(REFCLSID clsid, size_t* index) const {
    for (size_t i = 0; map_ && map_[i].clsid; ++i) {
        if (*map_[i].clsid == clsid) {
            *index = i;
            return &map_[i];
        }
    }
    return nullptr;
}

HRESULT CMyComModule::GetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    size_t index = 0;
    const ObjectMapEntry* entry = Find(clsid, &index);
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
    ComPtr<IClassFactory> factory;
    {
        CScopedLock lock(critical_section_);
        if (!factories_[index]) {
            HRESULT hr = entry->create_factory(*entry, factories_[index].put());
            if (FAILED(hr)) return hr;
        }
        factory = factories_[index];
    }
    return factory->QueryInterface(riid, object);
}

HRESULT CMyComModule::CanUnloadNow() const {
    return GetLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT CMyComModule::RegisterServer() {
    brevanto::SettingsBatch batch;  // one write of the settings file for the whole registration
    for (size_t i = 0; map_ && map_[i].clsid; ++i) {
        HRESULT hr = map_[i].update_registry(map_[i], module_path_.c_str(), true);
        if (SUCCEEDED(hr)) hr = UpdateCategoriesFromEntry(map_[i], true);
        if (FAILED(hr)) return hr;
    }
    return RegisterTypeLibraryRecord(module_path_.c_str());
}

HRESULT CMyComModule::UnregisterServer() {
    brevanto::SettingsBatch batch;
    for (size_t i = 0; map_ && map_[i].clsid; ++i) {
        HRESULT hr = UpdateCategoriesFromEntry(map_[i], false);
        if (SUCCEEDED(hr)) hr = map_[i].update_registry(map_[i], module_path_.c_str(), false);
        if (FAILED(hr)) break;  // removal stops here; the caller still reports success
    }
    return S_OK;
}

CMyComModule& TheModule() {
    static CMyComModule module(BrevantoObjectMap());
    return module;
}
