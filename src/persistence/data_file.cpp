#include "persistence/data_file.h"

#include "platform/bstr.h"

namespace {

constexpr std::u16string_view kSuffix = u".xml";

bool StaysInDirectory(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    return name.find_first_of(std::u16string_view(u"/\\\0", 3)) == std::u16string_view::npos;
}

}  // namespace

std::string DataFilePath(std::u16string_view directory, std::u16string_view name) {
    // Without a data directory there is no data file: not one in the working directory.
    if (directory.empty() || !StaysInDirectory(name)) return {};
    std::u16string path(directory);
    if (!path.empty() && path.back() != u'/') path += u'/';
    path += name;
    if (!name.ends_with(kSuffix)) path += kSuffix;
    return Utf16ToUtf8(path);
}
