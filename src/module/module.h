// The module object: lock count, object map, lazily made class factories, and the two
// registered window messages.
#pragma once

#include <string>
#include <vector>

#include "module/object_map.h"
#include "platform/comptr.h"
#include "platform/lock.h"

class CMyComModule {
  public:
    // `map` is null-terminated. `module_path` names the module file for registration; empty:
    // the file this code was loaded from.
    explicit CMyComModule(const ObjectMapEntry* map, std::u16string module_path = {});
    // Terminates: releases the class factories and ends each entry.
    ~CMyComModule();
    CMyComModule(const CMyComModule&) = delete;
    CMyComModule& operator=(const CMyComModule&) = delete;

    // Live separately allocated objects plus server locks.
    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const;

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object);
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer();
    HRESULT UnregisterServer();

    const std::u16string& module_path() const { return module_path_; }
    const ObjectMapEntry* object_map() const { return map_; }

  private:
    const ObjectMapEntry* Find(REFCLSID clsid, size_t* index) const;

    const ObjectMapEntry* map_;
    std::u16string module_path_;
    CCriticalSectionEx critical_section_;           // guards the lazy creation of factories
    std::vector<ComPtr<IClassFactory>> factories_;  // one per entry, made on first use
};

// The library's module instance.
CMyComModule& TheModule();

// The registered window messages, kept for the life of the module.
UINT RestartAppMessage();
UINT ShutdownNicelyMessage();

// The full path of the file that holds this code (from the dynamic loader).
std::u16string ThisModulePath();
