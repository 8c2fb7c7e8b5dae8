// The object map: one entry per class that outside callers can create.
#pragma once

#include <cstddef>

#include "module/class_ids.h"
#include "platform/com_object.h"

struct ObjectMapEntry;

// What the module asks of a class, gathered in its entry.
using UpdateRegistryFn = HRESULT (*)(const ObjectMapEntry& entry, LPCOLESTR module_path,
                                     bool do_register);
using CreateFactoryFn = HRESULT (*)(const ObjectMapEntry& entry, IClassFactory** factory);
using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** object);
using ObjectMainFn = void (*)(bool starting);

struct ObjectMapEntry {
    const CLSID* clsid;                     // null ends the table
    LPCOLESTR prog_id;                      // "Brevanto.Packet.1"
    LPCOLESTR version_independent_prog_id;  // "Brevanto.Packet"
    LPCOLESTR description;                  // "Packet Class"
    UpdateRegistryFn update_registry;
    CreateFactoryFn create_factory;
    CreateInstanceFn create_instance;
    const GUID* categories;  // implemented component categories
    UINT category_count;
    ObjectMainFn object_main;
    LPCOLESTR threading_model;  // "Both" unless the class says otherwise
};

// The registration script of a class (names, class identifier, module path, threading model,
// type library), applied to the settings store or removed from it.
HRESULT UpdateRegistryFromEntry(const ObjectMapEntry& entry, LPCOLESTR module_path,
                                bool do_register);
// The standard class factory over the entry's instance creator.
HRESULT CreateClassFactory(const ObjectMapEntry& entry, IClassFactory** factory);
inline void NoObjectMain(bool) {}

inline constexpr GUID kSafeForScriptingAndInitializing[] = {CATID_SafeForScripting,
                                                            CATID_SafeForInitializing};

// The entry of class T, created plain or aggregated by CreateComInstance<T>.
template <class T>
constexpr ObjectMapEntry ObjectEntry(const CLSID& clsid, LPCOLESTR prog_id,
                                     LPCOLESTR version_independent_prog_id, LPCOLESTR description) {
    return {&clsid,
            prog_id,
            version_independent_prog_id,
            description,
            &UpdateRegistryFromEntry,
            &CreateClassFactory,
            &CreateComInstance<T>,
            nullptr,
            0,
            &NoObjectMain,
            u"Both"};
}
template <class T, std::size_t N>
constexpr ObjectMapEntry ObjectEntry(const CLSID& clsid, LPCOLESTR prog_id,
                                     LPCOLESTR version_independent_prog_id, LPCOLESTR description,
                                     const GUID (&categories)[N]) {
    ObjectMapEntry entry = ObjectEntry<T>(clsid, prog_id, version_independent_prog_id, description);
    entry.categories = categories;
    entry.category_count = static_cast<UINT>(N);
    return entry;
}

// The entry of a class whose objects live in the apartment of their creator.
template <class T>
constexpr ObjectMapEntry ApartmentObjectEntry(const CLSID& clsid, LPCOLESTR prog_id,
                                              LPCOLESTR version_independent_prog_id,
                                              LPCOLESTR description) {
    ObjectMapEntry entry = ObjectEntry<T>(clsid, prog_id, version_independent_prog_id, description);
    entry.threading_model = u"Apartment";
    return entry;
}

inline constexpr ObjectMapEntry kObjectMapEnd{};

// The library's table (null-terminated).
const ObjectMapEntry* BrevantoObjectMap();
