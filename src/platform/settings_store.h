// The settings store (the registry): a small tree of keys holding named values of the
// platform's value types, kept in one text file.
//
// The file is "$BREVANTO_SETTINGS" when that is set, else "$XDG_CONFIG_HOME/brevanto/registry"
// or "~/.config/brevanto/registry". Key and value names compare case-insensitively (FoldCase);
// "\" separates key names in a path. Every change is written at once, atomically (a new file,
// then a rename), under an advisory lock, and a change made by another process is picked up
// before the next operation. A damaged file is read as far as it can be, with a message on
// standard error for each line that is skipped; the next write keeps the damaged original
// beside it as "<file>.damaged". A file that exists but cannot be read (no permission, not a
// regular file) is never written: reads see no values (callers fall back to their defaults)
// and changes fail with ERROR_ACCESS_DENIED.
//
// File format, one key per section, every key listed even when it is empty:
//
//   BREVANTO SETTINGS 1
//   [HKEY_CURRENT_USER\Software\Brevanto\Quorvane]
//   @="default value"
//   "Port0"="COM1:"
//   "AutoLogoff"=dword:0000012c
//   "Blob"=hex:01,02,ff
//   "Other"=hex(7):41,00,00,00
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

// Status codes of the registry functions (the platform's error numbers, not HRESULTs).
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

using REGSAM = DWORD;
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

namespace brevanto {

// One store over one file. The process's store is Default(); tests may make their own.
class SettingsStore {
  public:
    struct Value {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };

    // Keys nest at most this deep; deeper paths are refused.
    static constexpr std::size_t kMaxKeyDepth = 512;

    explicit SettingsStore(std::filesystem::path file);
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;
    ~SettingsStore();

    static SettingsStore& Default();
    // Where Default() keeps its file, from the environment.
    static std::filesystem::path DefaultPath();
    const std::filesystem::path& file() const { return file_; }

    // Paths are full key paths ("HKEY_CLASSES_ROOT\CLSID\{...}"); the empty path is the root
    // of the tree. Every call returns one of the ERROR_ codes above.
    LONG CreateKey(std::u16string_view path, bool* created = nullptr);
    LONG OpenKey(std::u16string_view path);  // ERROR_SUCCESS when the key exists
    LONG QueryValue(std::u16string_view path, std::u16string_view name, Value* value);
    LONG SetValue(std::u16string_view path, std::u16string_view name, const Value& value);
    LONG DeleteValue(std::u16string_view path, std::u16string_view name);
    // Removes the key with everything under it.
    LONG DeleteTree(std::u16string_view path);
    // Removes a key that has no sub-keys.
    LONG DeleteKey(std::u16string_view path);
    // Changes between BeginBatch and EndBatch are written once, at the end, with the file
    // locked against other processes meanwhile. Batches nest.
    void BeginBatch();
    LONG EndBatch();

    // Names in a stable order (case-insensitive alphabetical).
    LONG EnumKeys(std::u16string_view path, std::vector<std::u16string>* names);
    LONG EnumValues(std::u16string_view path, std::vector<std::u16string>* names);

  private:
    struct Node;
    struct FileIdentity {
        std::uintmax_t device = 0, inode = 0, size = 0;
        std::int64_t mtime_ns = 0;
        bool exists = false;
        bool operator==(const FileIdentity&) const = default;
    };

    FileIdentity Identify() const;
    void RefreshLocked();  // reloads when the file changed under us
    void LoadLocked();
    // The whole file; false when there is none or it cannot be read (unreadable_ tells which).
    bool ReadFileLocked(std::string* text);
    LONG SaveLocked();
    // Copies the damaged file read last to "<file>.damaged" before it is replaced.
    bool KeepDamagedLocked();
    int LockFile();  // the advisory lock against other processes; -1 when unavailable
    // Runs a change with the file locked against other processes, then writes the file if the
    // change says it changed anything. `change(bool& changed)` returns a status.
    template <class F>
    LONG Change(F&& change);
    Node* Find(std::u16string_view path);

    std::filesystem::path file_;
    std::mutex mutex_;
    std::unique_ptr<Node> root_;
    FileIdentity loaded_;
    bool loaded_once_ = false;
    int batch_depth_ = 0;
    int batch_lock_fd_ = -1;
    bool dirty_ = false;
    bool unreadable_ = false;  // the file exists but could not be read: never overwrite it
    bool damaged_ = false;     // lines of the file were skipped when it was read
};

// Keeps the process's store in one batch for a scope.
class SettingsBatch {
  public:
    explicit SettingsBatch(SettingsStore& store = SettingsStore::Default()) : store_(store) {
        store_.BeginBatch();
    }
    ~SettingsBatch() { store_.EndBatch(); }
    SettingsBatch(const SettingsBatch&) = delete;
    SettingsBatch& operator=(const SettingsBatch&) = delete;

  private:
    SettingsStore& store_;
};

}  // namespace brevanto

// The platform's registry functions over the process's store.
struct RegistryKeyHandle;
using HKEY = RegistryKeyHandle*;
extern HKEY const HKEY_CLASSES_ROOT;
extern HKEY const HKEY_CURRENT_USER;
extern HKEY const HKEY_LOCAL_MACHINE;
extern HKEY const HKEY_USERS;

LONG RegCreateKeyExW(HKEY key, LPCOLESTR subkey, DWORD reserved, LPOLESTR class_name, DWORD options,
                     REGSAM access, void* security, HKEY* result, DWORD* disposition);
LONG RegOpenKeyExW(HKEY key, LPCOLESTR subkey, DWORD options, REGSAM access, HKEY* result);
LONG RegCloseKey(HKEY key);
// REG_SZ data are UTF-16 code units with their terminating zero, as on the platform.
LONG RegQueryValueExW(HKEY key, LPCOLESTR name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegSetValueExW(HKEY key, LPCOLESTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueW(HKEY key, LPCOLESTR name);
LONG RegDeleteKeyW(HKEY key, LPCOLESTR subkey);
LONG RegDeleteTreeW(HKEY key, LPCOLESTR subkey);
LONG RegEnumKeyExW(HKEY key, DWORD index, LPOLESTR name, DWORD* name_length, DWORD* reserved,
                   LPOLESTR class_name, DWORD* class_length, void* last_write);
LONG RegEnumValueW(HKEY key, DWORD index, LPOLESTR name, DWORD* name_length, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_length);

// A key held open, in the platform's spelling (CRegKey).
class CRegKey {
  public:
    CRegKey() noexcept = default;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() { Close(); }

    LONG Create(HKEY parent, LPCOLESTR name);
    LONG Open(HKEY parent, LPCOLESTR name, REGSAM access = KEY_READ);
    LONG Close();
    HKEY m_hKey = nullptr;

    LONG QueryDWORDValue(LPCOLESTR name, DWORD& value);
    LONG SetDWORDValue(LPCOLESTR name, DWORD value);
    LONG QueryStringValue(LPCOLESTR name, std::u16string* value);
    LONG SetStringValue(LPCOLESTR name, LPCOLESTR value);
    LONG QueryBinaryValue(LPCOLESTR name, std::vector<BYTE>* value);
    LONG SetBinaryValue(LPCOLESTR name, const void* data, ULONG size);
    LONG DeleteValue(LPCOLESTR name);
    LONG RecurseDeleteKey(LPCOLESTR name);
    // Writes the key's default value (or a named one) under a sub-key, creating it.
    LONG SetKeyValue(LPCOLESTR subkey, LPCOLESTR value, LPCOLESTR name = nullptr);
};
