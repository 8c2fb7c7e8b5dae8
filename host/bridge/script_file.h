// Page and script files as every host reads them, and the errors of page scripts as every host
// reports them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/automation.h"

namespace brevanto_host {

struct ScriptError {
    std::string message;
    std::string file;
    int line = 0;
    HRESULT number = 0;
    // "file:line: message", as the host reports it.
    std::string Describe() const;
};

// Reads a page or script file. False with *error ("cannot read script file PATH: why") for a
// directory, a device or pipe, or a file of more than kMaxScriptFileBytes.
inline constexpr std::uintmax_t kMaxScriptFileBytes = 16u << 20;
bool ReadScriptFile(const std::filesystem::path& file, std::string* text, ScriptError* error);

}  // namespace brevanto_host
