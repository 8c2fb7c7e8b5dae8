#include "module/registration.h"

#include <filesystem>
#include <string>

#include "platform/bstr.h"
#include "platform/settings_store.h"

namespace {

std::u16string Braced(REFGUID guid) {
    return Utf8ToUtf16(GuidToString(guid));
}

HRESULT Status(LONG error) {
    return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

// Removal treats a key that is already gone as removed.
HRESULT RemoveTree(LPCOLESTR path) {
    LONG error = RegDeleteTreeW(HKEY_CLASSES_ROOT, path);
    return error == ERROR_FILE_NOT_FOUND ? S_OK : Status(error);
}

// A key under the class root with its default value and named sub-keys holding default values.
HRESULT WriteKey(const std::u16string& path, LPCOLESTR value,
                 std::initializer_list<std::pair<LPCOLESTR, std::u16string>> subkeys) {
    CRegKey key;
    LONG error = key.Create(HKEY_CLASSES_ROOT, path.c_str());
    if (error == ERROR_SUCCESS && value) error = key.SetStringValue(nullptr, value);
    for (auto& [name, text] : subkeys)
        if (error == ERROR_SUCCESS) error = key.SetKeyValue(name, text.c_str());
    return Status(error);
}

const char16_t* CategoryDescription(REFGUID category) {
    if (category == CATID_SafeForScripting) return u"Controls safely scriptable!";
    if (category == CATID_SafeForInitializing)
        return u"Controls safely initializable from persistent data!";
    return u"";
}

}  // namespace

HRESULT UpdateRegistryFromEntry(const ObjectMapEntry& entry, LPCOLESTR module_path,
                                bool do_register) {
    const std::u16string clsid = Braced(*entry.clsid);
    const std::u16string prog_id = entry.prog_id;
    const std::u16string independent = entry.version_independent_prog_id;
    const std::u16string class_key = u"CLSID\\" + clsid;
    if (!do_register) {
        HRESULT hr = RemoveTree(prog_id.c_str());
        if (SUCCEEDED(hr)) hr = RemoveTree(independent.c_str());
        if (SUCCEEDED(hr)) hr = RemoveTree(class_key.c_str());
        return hr;
    }
    HRESULT hr = WriteKey(prog_id, entry.description, {{u"CLSID", clsid}});
    if (SUCCEEDED(hr))
        hr = WriteKey(independent, entry.description, {{u"CLSID", clsid}, {u"CurVer", prog_id}});
    // The class's own key is rewritten from scratch on every registration.
    if (SUCCEEDED(hr)) hr = RemoveTree(class_key.c_str());
    if (SUCCEEDED(hr))
        hr = WriteKey(class_key, entry.description,
                      {{u"ProgID", prog_id},
                       {u"VersionIndependentProgID", independent},
                       {u"InprocServer32", module_path ? module_path : u""},
                       {u"TypeLib", Braced(LIBID_Brevanto)}});
    if (FAILED(hr)) return hr;
    CRegKey key;
    LONG error = key.Create(HKEY_CLASSES_ROOT, (class_key + u"\\Programmable").c_str());
    if (error == ERROR_SUCCESS)
        error = key.Create(HKEY_CLASSES_ROOT, (class_key + u"\\InprocServer32").c_str());
    if (error == ERROR_SUCCESS)
        error = key.SetStringValue(u"ThreadingModel",
                                   entry.threading_model ? entry.threading_model : u"Both");
    return Status(error);
}

HRESULT UpdateCategoriesFromEntry(const ObjectMapEntry& entry, bool do_register) {
    const std::u16string implemented =
        u"CLSID\\" + Braced(*entry.clsid) + u"\\Implemented Categories";
    for (UINT i = 0; i < entry.category_count; ++i) {
        const std::u16string category = Braced(entry.categories[i]);
        if (!do_register) {
            HRESULT hr = RemoveTree((implemented + u"\\" + category).c_str());
            if (FAILED(hr)) return hr;
            continue;
        }
        CRegKey key;
        LONG error = key.Create(HKEY_CLASSES_ROOT, (u"Component Categories\\" + category).c_str());
        if (error == ERROR_SUCCESS)
            error = key.SetStringValue(u"409", CategoryDescription(entry.categories[i]));
        if (error == ERROR_SUCCESS)
            error = key.Create(HKEY_CLASSES_ROOT, (implemented + u"\\" + category).c_str());
        if (error != ERROR_SUCCESS) return Status(error);
    }
    if (!do_register) {
        // The categories key goes once it holds nothing.
        LONG error = RegDeleteKeyW(HKEY_CLASSES_ROOT, implemented.c_str());
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_ACCESS_DENIED)
            return Status(error);
    }
    return S_OK;
}

HRESULT RegisterTypeLibraryRecord(LPCOLESTR module_path) {
    const std::u16string path = module_path ? module_path : u"";
    const std::u16string directory =
        std::filesystem::path(Utf16ToUtf8(path)).parent_path().u16string();
    return WriteKey(u"TypeLib\\" + Braced(LIBID_Brevanto) + u"\\1.5", u"Brevanto 1.5 Type Library",
                    {{u"0\\linux", path}, {u"FLAGS", u"0"}, {u"HELPDIR", directory}});
}
