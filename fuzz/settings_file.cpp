// Arbitrary bytes as the settings store's file.
//
// Checked for every input: the read ends (the sanitizers and libFuzzer's limits catch crashes,
// hangs and runaway memory), and nothing read is lost when the store next writes its file: after
// one change, a fresh store over the rewritten file holds every key and value the first one read,
// byte for byte, beside the change. A damaged original is kept beside the file.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "fuzz_input.h"
#include "platform/settings_store.h"

namespace {

namespace fs = std::filesystem;
using brevanto::SettingsStore;

// The key the check adds, under a root no well-formed file uses.
constexpr std::u16string_view kMarkerRoot = u"HKEY_USERS";
constexpr std::u16string_view kMarker = u"HKEY_USERS\\fuzz marker";

// Every key (as its path) and value (path, then "\x01" and its name) of the tree, with the
// value's type and bytes.
using Tree = std::map<std::u16string, std::string>;

void Walk(SettingsStore& store, const std::u16string& path, Tree* tree, int depth = 0) {
    FUZZ_CHECK(depth <= static_cast<int>(SettingsStore::kMaxKeyDepth) + 1);
    (*tree)[path] = "key";
    std::vector<std::u16string> names;
    FUZZ_CHECK(store.EnumValues(path, &names) == ERROR_SUCCESS || path.empty());
    for (const std::u16string& name : names) {
        SettingsStore::Value value;
        FUZZ_CHECK(store.QueryValue(path, name, &value) == ERROR_SUCCESS);
        (*tree)[path + u'\x01' + name] =
            std::to_string(value.type) + ":" + std::string(value.data.begin(), value.data.end());
    }
    FUZZ_CHECK(store.EnumKeys(path, &names) == ERROR_SUCCESS);
    for (const std::u16string& name : names)
        Walk(store, path.empty() ? name : path + u'\\' + name, tree, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path file = ScratchDirectory() / "registry";
    for (const auto& entry : fs::directory_iterator(ScratchDirectory()))
        fs::remove(entry.path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    Tree before;
    {
        SettingsStore store(file);
        Walk(store, u"", &before);
        // A file whose own keys include the marker's root is left alone: the check could not
        // tell the marker from what the file held.
        if (before.count(std::u16string(kMarkerRoot))) return 0;
        bool created = false;
        FUZZ_CHECK(store.CreateKey(kMarker, &created) == ERROR_SUCCESS && created);
    }
    SettingsStore again(file);
    Tree after;
    Walk(again, u"", &after);
    FUZZ_CHECK(after.erase(std::u16string(kMarker)) == 1);
    FUZZ_CHECK(after.erase(std::u16string(kMarkerRoot)) == 1);
    FUZZ_CHECK(after == before);
    return 0;
}
