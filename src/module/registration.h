// What DllRegisterServer writes to the settings store besides each class's own script.
#pragma once

#include "module/object_map.h"

// Adds or removes the class's implemented component categories.
HRESULT UpdateCategoriesFromEntry(const ObjectMapEntry& entry, bool do_register);
// The type library record: "Brevanto 1.5 Type Library", version 1.5, in the module file.
HRESULT RegisterTypeLibraryRecord(LPCOLESTR module_path);
