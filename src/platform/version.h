// The version of the library and of every program built with it, as the build names it.
#pragma once

#include <string>
#include <string_view>

namespace brevanto {

// "1.5.0": the project's version.
const char* ProductVersion();

// What a program prints for --version: "PROGRAM (Brevanto) 1.5.0" and a newline.
std::string VersionText(std::string_view program);

}  // namespace brevanto
