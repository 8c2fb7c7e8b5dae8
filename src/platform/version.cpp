#include "platform/version.h"

#ifndef BREVANTO_VERSION
#error "the build defines BREVANTO_VERSION for this file"
#endif

namespace brevanto {

const char* ProductVersion() {
    return BREVANTO_VERSION;
}

std::string VersionText(std::string_view program) {
    return std::string(program) + " (Brevanto) " + BREVANTO_VERSION + "\n";
}

}  // namespace brevanto
