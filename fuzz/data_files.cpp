// Arbitrary bytes as the data directory's files that the library loads and saves again: the
// configuration ("Config") and the users with their levels ("Users" and "Security"). The first
// byte chooses which; for the users, the second says where the input splits into the two files.
//
// Checked for every input: the load ends (the sanitizers and libFuzzer's limits catch crashes,
// hangs and runaway memory), and what was loaded survives its own save: loading the saved files
// gives the same settings by name, or the same users and levels, and saving that again writes
// the same files (the first save may still normalise number texts).
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_input.h"
#include "persistence/config_object.h"
#include "platform/bstr.h"
#include "platform/safearray.h"
#include "security/user_database.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(std::u16string_view name, std::string_view bytes) {
    std::ofstream(ScratchDirectory() / (Utf16ToUtf8(name) + ".xml"), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string FileText(std::u16string_view name) {
    std::ifstream in(ScratchDirectory() / (Utf16ToUtf8(name) + ".xml"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Silent : public CXMLErrorSink {
  public:
    void OnXMLError(std::u16string_view) override {}
};

// Loads the configuration of the data directory and saves it; returns its setting names.
std::u16string LoadAndSaveConfig() {
    ComPtr<CConfigOb> config;
    FUZZ_CHECK(SUCCEEDED(MakeComObject(&config)));
    config->SetDataDirectory(Utf8ToUtf16(ScratchDirectory().string()));
    FUZZ_CHECK(config->Load() == S_OK);
    FUZZ_CHECK(config->Save() == S_OK);
    CComVariant names;
    FUZZ_CHECK(config->GetMemberNames(&names) == S_OK);
    std::u16string joined;
    BSTR* items = nullptr;
    FUZZ_CHECK(SUCCEEDED(SafeArrayAccessData(names.parray, reinterpret_cast<void**>(&items))));
    for (ULONG i = 0; i < names.parray->rgsabound[0].cElements; ++i)
        joined.append(items[i], SysStringLen(items[i])).push_back(u'\n');
    SafeArrayUnaccessData(names.parray);
    return joined;
}

void CheckConfig() {
    const std::u16string names = LoadAndSaveConfig();  // the input, then its first save
    if (std::getenv("FUZZ_TRACE"))
        std::fprintf(stderr, "settings:\n%s", Utf16ToUtf8(names).c_str());
    FUZZ_CHECK(LoadAndSaveConfig() == names);
    const std::string normalised = FileText(CConfigOb::kFileName);
    FUZZ_CHECK(LoadAndSaveConfig() == names);
    FUZZ_CHECK(FileText(CConfigOb::kFileName) == normalised);
}

void CheckUsers() {
    const std::u16string directory = Utf8ToUtf16(ScratchDirectory().string());
    Silent silent;
    UserDatabase loaded;
    loaded.Load(directory, &silent);
    FUZZ_CHECK(loaded.Save(directory) == S_OK);
    const std::string users = FileText(UserDatabase::kUsersFile);
    const std::string security = FileText(UserDatabase::kSecurityFile);
    if (std::getenv("FUZZ_TRACE")) std::fprintf(stderr, "%zu users\n", loaded.users().size());
    UserDatabase again;
    FUZZ_CHECK(again.Load(directory, &silent) == S_OK);
    FUZZ_CHECK(again.users() == loaded.users());
    FUZZ_CHECK(again.levels() == loaded.levels());
    FUZZ_CHECK(again.Save(directory) == S_OK);
    FUZZ_CHECK(FileText(UserDatabase::kUsersFile) == users);
    FUZZ_CHECK(FileText(UserDatabase::kSecurityFile) == security);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const auto& entry : fs::directory_iterator(ScratchDirectory()))
        fs::remove(entry.path());
    FuzzInput input(data, size);
    const bool users = input.Bool();
    const std::size_t split = input.Integral<std::uint8_t>();
    const std::string_view rest(reinterpret_cast<const char*>(data) + size - input.remaining(),
                                input.remaining());
    if (users) {
        WriteFile(UserDatabase::kUsersFile, rest.substr(0, split));
        WriteFile(UserDatabase::kSecurityFile, rest.substr(std::min(split, rest.size())));
        CheckUsers();
    } else {
        WriteFile(CConfigOb::kFileName, rest);
        CheckConfig();
    }
    return 0;
}
