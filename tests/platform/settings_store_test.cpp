// The settings store: values of each type, keys, the file it keeps and the registry functions.
#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/bstr.h"
#include "platform/case_fold.h"
#include "support/data_directory.h"
#include "support/show.h"

namespace {

using brevanto::SettingsStore;
namespace fs = std::filesystem;

// Runs `body` on a thread of its own without the capabilities that let root read and write any
// file, so that file permissions hold for it as for any user: capabilities belong to a thread,
// and tests run as root. Returns what `body` wrote to standard error.
std::string WithFilePermissionsEnforced(const std::function<void()>& body) {
    std::string messages;
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        if (::syscall(SYS_capget, &header, caps) == 0) {
            for (unsigned cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
                caps[cap / 32].effective &= ~(1u << (cap % 32));
            ASSERT_EQ(::syscall(SYS_capset, &header, caps), 0);
        }
        ::testing::internal::CaptureStderr();
        body();
        messages = ::testing::internal::GetCapturedStderr();
    }).join();
    return messages;
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    static SettingsStore::Value Dword(DWORD d) {
        SettingsStore::Value v{REG_DWORD, std::vector<BYTE>(4)};
        std::memcpy(v.data.data(), &d, 4);
        return v;
    }
    static SettingsStore::Value Text(std::u16string_view s) {
        SettingsStore::Value v{REG_SZ, std::vector<BYTE>((s.size() + 1) * 2, 0)};
        std::memcpy(v.data.data(), s.data(), s.size() * 2);
        return v;
    }
    // A value as "type: bytes", or the status when it cannot be read.
    static std::string Show(const SettingsStore::Value& v) {
        return std::to_string(v.type) + ": " + Hex(v.data);
    }
    static std::string Read(SettingsStore& store, std::u16string_view key,
                            std::u16string_view name) {
        SettingsStore::Value v;
        const LONG status = store.QueryValue(key, name, &v);
        return status == ERROR_SUCCESS ? Show(v) : "status " + std::to_string(status);
    }
    const std::string kMissing = "status " + std::to_string(ERROR_FILE_NOT_FOUND);

    std::string FileText() { return data_.Get("sub/registry"); }

    DataDirectory data_;
    const fs::path file_ = data_ / "sub/registry";  // in a directory the store makes
};

TEST_F(SettingsStoreTest, ValuesOfEveryTypeSurviveTheFileAndKeysNestAndDelete) {
    const std::u16string key = u"HKEY_CURRENT_USER\\Software\\Brevanto";
    const std::pair<std::u16string, SettingsStore::Value> values[] = {
        {u"Port0", Text(u"/dev/pts/3")},    {u"", Text(u"quote \" back \\ line\nend \u00e9\u20ac")},
        {u"AutoLogoff", Dword(0xFFFFFFFF)}, {u"Blob", {REG_BINARY, {0, 1, 0xFF}}},
        {u"Odd", {REG_SZ, {0x41}}},  // not a string
        {u"Multi", {REG_MULTI_SZ, {}}},
    };
    {
        SettingsStore store(file_);
        bool created = false;
        ASSERT_EQ(ERROR_SUCCESS, store.CreateKey(key, &created));
        EXPECT_TRUE(created);
        ASSERT_EQ(ERROR_SUCCESS,
                  store.CreateKey(u"hkey_current_user\\SOFTWARE\\brevanto", &created));
        EXPECT_FALSE(created);
        ASSERT_EQ(ERROR_SUCCESS, store.CreateKey(u"HKEY_CLASSES_ROOT\\Empty\\Programmable"));
        for (const auto& [name, value] : values)
            ASSERT_EQ(ERROR_SUCCESS, store.SetValue(key, name, value));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, store.SetValue(u"HKEY_CURRENT_USER\\Nope", u"x", Dword(1)));
    }
    SettingsStore again(file_);
    // Names of keys and values ignore case.
    for (const auto& [name, value] : values)
        EXPECT_EQ(Read(again, u"hkey_current_user\\SOFTWARE\\brevanto", FoldCase(name)),
                  Show(value))
            << Utf16ToUtf8(name);
    EXPECT_EQ(ERROR_SUCCESS, again.OpenKey(u"HKEY_CLASSES_ROOT\\Empty\\Programmable"));
    EXPECT_EQ(Read(again, key, u"Missing"), kMissing);

    std::vector<std::u16string> names;
    ASSERT_EQ(ERROR_SUCCESS, again.EnumValues(key, &names));
    EXPECT_EQ(
        (std::vector<std::u16string>{u"", u"AutoLogoff", u"Blob", u"Multi", u"Odd", u"Port0"}),
        names);
    ASSERT_EQ(ERROR_SUCCESS, again.EnumKeys(u"HKEY_CURRENT_USER\\Software", &names));
    EXPECT_EQ(std::vector<std::u16string>{u"Brevanto"}, names);  // the case it was made with

    // Keys nest at most 512 deep, and are deleted with their values.
    std::u16string deepest;
    for (std::size_t i = 0; i < SettingsStore::kMaxKeyDepth; ++i)
        deepest += u"k\\";
    EXPECT_EQ(ERROR_SUCCESS, again.CreateKey(deepest));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, again.CreateKey(deepest + u"one more"));
    ASSERT_EQ(ERROR_SUCCESS, again.CreateKey(u"HKEY_CLASSES_ROOT\\CLSID\\{A}\\InprocServer32"));
    ASSERT_EQ(ERROR_SUCCESS, again.CreateKey(u"HKEY_CLASSES_ROOT\\CLSID\\{B}"));
    ASSERT_EQ(ERROR_SUCCESS, again.SetValue(u"HKEY_CLASSES_ROOT\\CLSID\\{B}", u"v", Dword(1)));
    EXPECT_EQ(ERROR_ACCESS_DENIED, again.DeleteKey(u"HKEY_CLASSES_ROOT\\CLSID\\{A}"));
    EXPECT_EQ(ERROR_SUCCESS, again.DeleteTree(u"HKEY_CLASSES_ROOT\\clsid\\{a}"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, again.DeleteTree(u"HKEY_CLASSES_ROOT\\CLSID\\{A}"));
    EXPECT_EQ(ERROR_SUCCESS, again.DeleteValue(u"HKEY_CLASSES_ROOT\\CLSID\\{B}", u"V"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, again.DeleteValue(u"HKEY_CLASSES_ROOT\\CLSID\\{B}", u"v"));
    EXPECT_EQ(ERROR_SUCCESS, again.DeleteKey(u"HKEY_CLASSES_ROOT\\CLSID\\{B}"));
    ASSERT_EQ(ERROR_SUCCESS, again.EnumKeys(u"HKEY_CLASSES_ROOT\\CLSID", &names));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(ERROR_SUCCESS, SettingsStore(file_).OpenKey(u"HKEY_CLASSES_ROOT\\CLSID"));
}

TEST_F(SettingsStoreTest, WritesReplaceTheFileOtherWritersAreSeenAndReadOnlyKeepsTheValues) {
    const std::u16string key = u"HKEY_LOCAL_MACHINE\\K";
    SettingsStore a(file_), b(file_);
    ASSERT_EQ(ERROR_SUCCESS, a.CreateKey(key));
    struct stat st;
    ASSERT_EQ(0, ::stat(file_.c_str(), &st));
    const ino_t first = st.st_ino;
    // `b` picks up what `a` wrote, and `a` what `b` writes next.
    ASSERT_EQ(ERROR_SUCCESS, b.SetValue(key, u"x", Dword(7)));
    EXPECT_EQ(Read(a, key, u"x"), Show(Dword(7)));
    // Each write is a new file renamed over the old one; no temporary file stays behind.
    ASSERT_EQ(0, ::stat(file_.c_str(), &st));
    EXPECT_NE(first, st.st_ino);
    for (auto& entry : fs::directory_iterator(file_.parent_path()))
        EXPECT_TRUE(entry.path() == file_ || entry.path().extension() == ".lock") << entry.path();
    EXPECT_EQ(0u, FileText().find("BREVANTO SETTINGS 1\n"));
    // A temporary file left by a writer that died does not disturb readers.
    std::ofstream(file_.string() + ".new.99999") << "[HKEY_LOCAL_MACHINE\\Ghost]\n";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, SettingsStore(file_).OpenKey(u"HKEY_LOCAL_MACHINE\\Ghost"));

    // Batched changes are seen by their store at once and written once, at the end.
    {
        brevanto::SettingsBatch batch(a);
        ASSERT_EQ(ERROR_SUCCESS, a.CreateKey(u"HKEY_CLASSES_ROOT\\Batched"));
        ASSERT_EQ(ERROR_SUCCESS, a.SetValue(u"HKEY_CLASSES_ROOT\\Batched", u"v", Dword(3)));
        EXPECT_EQ(ERROR_SUCCESS, a.OpenKey(u"HKEY_CLASSES_ROOT\\Batched"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                  SettingsStore(file_).OpenKey(u"HKEY_CLASSES_ROOT\\Batched"));
    }
    EXPECT_EQ(Read(b, u"HKEY_CLASSES_ROOT\\Batched", u"v"), Show(Dword(3)));

    // In a directory that cannot be written, opening a key that exists writes nothing, and a
    // change that cannot be saved fails without losing what the store holds.
    const std::string written = FileText();
    fs::permissions(file_.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    WithFilePermissionsEnforced([&] {
        SettingsStore store(file_);
        bool created = true;
        EXPECT_EQ(ERROR_SUCCESS, store.CreateKey(key, &created));
        EXPECT_FALSE(created);
        EXPECT_EQ(ERROR_SUCCESS, store.SetValue(key, u"x", Dword(7)));  // unchanged
        EXPECT_NE(ERROR_SUCCESS, store.SetValue(key, u"Other", Dword(1)));
        EXPECT_EQ(Read(store, key, u"x"), Show(Dword(7)));
    });
    fs::permissions(file_.parent_path(), fs::perms::owner_all);
    EXPECT_EQ(written, FileText());
}

TEST_F(SettingsStoreTest, DamagedFileIsReadAsFarAsPossible) {
    fs::create_directories(file_.parent_path());
    std::string deep_header = "[";  // a key nested 300 000 deep
    for (int i = 0; i < 300000; ++i)
        deep_header += "a\\";
    {
        std::ofstream out(file_, std::ios::binary);
        out << "BREVANTO SETTINGS 1\r\n"
            << "\"Orphan\"=dword:1\n"
            << "[HKEY_CURRENT_USER\\Good]\r\n"
            << "\"a\"=dword:0000002a\n"
            << "\"b\"=dword:123456789\n"
            << "\"c\"=hex:zz\n"
            << "\"d\"\"oops\"\n"
            << "\"e\"=\"unterminated\n"
            << std::string("\0\xff\xfe garbage", 12) << "\n"
            << "[HKEY_CURRENT_USER\\Broken\n"
            << "\"f\"=\"after broken header\"\n"
            << deep_header << "]\n\"x\"=dword:1\n"
            << "[HKEY_CURRENT_USER\\Good\\Child]\n"
            << "@=\"fine\"\n"
            << "\"h\"=dword:-1\n\"i\"=dword: 5\n\"j\"=dword:0x1\n\"k\"=hex:-1\n\"l\"=hex(+2):41\n"
            << "\"g\"=hex(2):41,00,00,00";  // no final newline
    }
    ::testing::internal::CaptureStderr();
    SettingsStore store(file_);
    EXPECT_EQ(Read(store, u"HKEY_CURRENT_USER\\Good", u"a"), Show(Dword(42)));
    for (auto name : {u"b", u"c", u"d", u"e"})
        EXPECT_EQ(Read(store, u"HKEY_CURRENT_USER\\Good", name), kMissing);
    for (auto name : {u"h", u"i", u"j", u"k", u"l"})  // no sign, space or prefix in numbers
        EXPECT_EQ(Read(store, u"HKEY_CURRENT_USER\\Good\\Child", name), kMissing);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, store.OpenKey(u"HKEY_CURRENT_USER\\Broken"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, store.OpenKey(u"a"));
    EXPECT_EQ(Read(store, u"HKEY_CURRENT_USER\\Good\\Child", u""), Show(Text(u"fine")));
    EXPECT_EQ(Read(store, u"HKEY_CURRENT_USER\\Good\\Child", u"g"),
              Show({REG_EXPAND_SZ, {0x41, 0, 0, 0}}));
    std::string messages = ::testing::internal::GetCapturedStderr();
    for (const char* m :
         {":2: value outside a key", ":5: malformed dword value", ":10: key header without ']'",
          ":11: value outside a key", ":12: key nested deeper than 512 levels"})
        EXPECT_NE(std::string::npos, messages.find(m)) << messages.substr(0, 1000);
    // The next write keeps what could be read and drops the rest, keeping the damaged original.
    const std::string original = FileText();
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(ERROR_SUCCESS, store.SetValue(u"HKEY_CURRENT_USER\\Good", u"h", Dword(1)));
    messages = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, messages.find(file_.string() + ".damaged")) << messages;
    EXPECT_EQ(original, data_.Get("sub/registry.damaged"));
    ::testing::internal::CaptureStderr();
    SettingsStore clean(file_);
    EXPECT_EQ(Read(clean, u"HKEY_CURRENT_USER\\Good", u"a"), Show(Dword(42)));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    // Beyond the first ten, skipped lines are only counted.
    {
        std::ofstream garbage(file_);
        for (int i = 0; i < 1000; ++i)
            garbage << "junk\n";
    }
    ::testing::internal::CaptureStderr();
    SettingsStore(file_).OpenKey(u"HKEY_CURRENT_USER");
    messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(11, std::count(messages.begin(), messages.end(), '\n')) << messages;
    EXPECT_NE(std::string::npos, messages.find(": 990 more lines skipped\n")) << messages;
}

// What stands at the settings path and cannot be read, though it exists, is neither read nor
// ever overwritten; reads see no values, writes fail with a status.
TEST_F(SettingsStoreTest, AFileThatCannotBeReadIsNeverWritten) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        std::string message;
    } cases[] = {
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }, "not a regular file"},
        {"no read permission",
         [](const fs::path& p) {
             std::ofstream(p) << "BREVANTO SETTINGS 1\n[HKEY_CURRENT_USER\\A]\n\"v\"=dword:1\n";
             fs::permissions(p, fs::perms::none);
         },
         std::strerror(EACCES)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file_.parent_path());
        fs::create_directories(file_.parent_path());
        c.make(file_);
        const auto before = fs::status(file_);
        const auto size = fs::is_regular_file(before) ? fs::file_size(file_) : 0;
        const std::string messages = WithFilePermissionsEnforced([&] {
            SettingsStore store(file_);
            EXPECT_EQ(Read(store, u"HKEY_CURRENT_USER\\A", u"v"), kMissing);
            EXPECT_EQ(ERROR_ACCESS_DENIED, store.CreateKey(u"HKEY_CURRENT_USER\\A"));
            store.BeginBatch();
            EXPECT_EQ(ERROR_ACCESS_DENIED, store.CreateKey(u"HKEY_CURRENT_USER\\B"));
            EXPECT_EQ(ERROR_SUCCESS, store.EndBatch());
        });
        EXPECT_NE(std::string::npos, messages.find(c.message)) << messages;
        EXPECT_EQ(before.type(), fs::status(file_).type());
        EXPECT_EQ(size, fs::is_regular_file(before) ? fs::file_size(file_) : 0);
    }
}

TEST_F(SettingsStoreTest, RegistryFunctionsOverTheProcessStore) {
    CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, u"Software\\Brevanto\\Quorvane"));
    ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(u"AutoLogoff", 300));
    ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(u"Port0", u"COM1:"));
    ASSERT_EQ(ERROR_SUCCESS, key.SetKeyValue(u"Sub", u"default"));
    DWORD d = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(u"autologoff", d));  // names ignore case
    EXPECT_EQ(300u, d);
    std::u16string s;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.QueryStringValue(u"AutoLogoff", &s));
    EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(u"Port0", &s));
    EXPECT_EQ(u"COM1:", s);

    // The platform's sizing protocol: ask for the size, then too small, then enough.
    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key.m_hKey, u"Port0", nullptr, &type, nullptr, &size));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(12u, size);  // five characters and the terminator, two bytes each
    BYTE small[4];
    DWORD room = sizeof small;
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExW(key.m_hKey, u"Port0", nullptr, nullptr, small, &room));
    EXPECT_EQ(12u, room);

    OLECHAR name[32];
    DWORD length = 32;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(key.m_hKey, 0, name, &length, 0, 0, 0, 0));
    EXPECT_EQ(u"Sub", std::u16string(name, length));
    length = 32;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(key.m_hKey, 1, name, &length, 0, 0, 0, 0));
    length = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key.m_hKey, 0, name, &length, 0, 0, 0, 0));
    EXPECT_EQ(11u, length);  // "AutoLogoff" and its terminator

    CRegKey parent;
    ASSERT_EQ(ERROR_SUCCESS, parent.Open(HKEY_CURRENT_USER, u"Software\\Brevanto"));
    EXPECT_EQ(ERROR_SUCCESS, parent.RecurseDeleteKey(u"Quorvane"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, parent.RecurseDeleteKey(u"Quorvane"));
}

}  // namespace
