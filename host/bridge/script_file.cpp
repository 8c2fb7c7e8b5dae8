#include "host/bridge/script_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace brevanto_host {

std::string ScriptError::Describe() const {
    std::ostringstream out;
    if (!file.empty()) out << file << ':' << line << ": ";
    out << message;
    if (number != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(number));
        if (message.find(code) == std::string::npos) out << " (" << code << ')';
    }
    return out.str();
}

bool ReadScriptFile(const std::filesystem::path& file, std::string* text, ScriptError* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = ScriptError{"cannot read script file " + file.string() + ": " + why, "", 0, 0};
        return false;
    };
    // Not blocking: a pipe without a writer must not hold the panel.
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(info.st_mode)) return fail("it is a directory");
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    const std::string too_large =
        "larger than " + std::to_string(kMaxScriptFileBytes >> 20) + " MiB";
    if (static_cast<std::uintmax_t>(info.st_size) > kMaxScriptFileBytes) return fail(too_large);
    text->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(std::strerror(errno));
        if (got == 0) break;
        // The file may grow while it is read.
        if (text->size() + static_cast<size_t>(got) > kMaxScriptFileBytes) return fail(too_large);
        text->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

}  // namespace brevanto_host
