// Where a data file lives: every file of the panel is one name in its data directory.
#pragma once

#include <string>
#include <string_view>

// The path of the file `name` in `directory`: ".xml" is appended unless the name already ends
// with exactly ".xml". Empty when the name is empty or could reach outside the directory (a path
// separator, a NUL, "." or ".."), or when there is no directory: such a file reads as missing
// and is never written.
std::string DataFilePath(std::u16string_view directory, std::u16string_view name);
