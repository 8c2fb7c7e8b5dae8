// Every test program keeps its settings in a file of its own process, so test programs that
// ctest runs side by side never see each other's registrations, serial-port mappings or
// settings, and nothing reaches the user's own settings file.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct PrivateSettingsFile {
    std::filesystem::path path;

    PrivateSettingsFile()
        : path(std::filesystem::temp_directory_path() /
               ("brevanto-test-" + std::to_string(::getpid()) + ".reg")) {
        setenv("BREVANTO_SETTINGS", path.c_str(), 1);
    }
    ~PrivateSettingsFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        std::filesystem::remove(path.string() + ".lock", ignored);
    }
};

// Set before main, and so before the first read of the settings store.
const PrivateSettingsFile kPrivateSettingsFile;

}  // namespace
