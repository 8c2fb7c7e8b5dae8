// brevanto-host: runs panel pages against the object library on a PC.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/bridge/clock_option.h"
#include "host/page_host.h"
#include "platform/clock.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: brevanto-host [--data DIR] [--serial PATH] [--timeout SECONDS] [--quiet]\n"
                 "                     [--allow-clock] [--clock \"YYYY-MM-DD HH:MM:SS\"]\n"
                 "                     [--module FILE] SCRIPT.js...\n"
                 "Runs the scripts in order on one script thread, then keeps the page running\n"
                 "until it calls Global.Close() (status 0), an uncaught error of the page's own\n"
                 "scripts (status 1) or the time-out (status 2). Errors of callbacks (event\n"
                 "handlers, filter callbacks, timers) are reported and the page goes on.\n"
                 "The lighting network can ask the panel to restart (the pages start again\n"
                 "with a fresh Global) or to shut down (status 0).\n"
                 "--clock starts the library's local time at the given moment (in the zone of\n"
                 "TZ); it then runs at normal speed, and Global.SetLocalTime sets it.\n");
}

}  // namespace

int main(int argc, char** argv) {
    brevanto_host::HostOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "brevanto-host: %s needs a value\n", name);
                std::exit(brevanto_host::kExitStartFailure);
            }
            return argv[++i];
        };
        if (arg == "--data") {
            options.data_dir = value("--data");
        } else if (arg == "--serial") {
            options.serial = value("--serial");
        } else if (arg == "--timeout") {
            const char* text = value("--timeout");
            char* end = nullptr;
            long seconds = std::strtol(text, &end, 10);
            if (!*text || *end || seconds < 0 || seconds > 1000000) {
                std::fprintf(stderr, "brevanto-host: bad --timeout value \"%s\"\n", text);
                return brevanto_host::kExitStartFailure;
            }
            options.timeout_seconds = static_cast<int>(seconds);
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--allow-clock") {
            options.allow_clock = true;
        } else if (arg == "--clock") {
            const char* text = value("--clock");
            std::chrono::system_clock::time_point start;
            if (!brevanto_host::ParseClockOption(text, &start)) {
                std::fprintf(stderr,
                             "brevanto-host: bad --clock value \"%s\" (want \"YYYY-MM-DD "
                             "HH:MM:SS\")\n",
                             text);
                return brevanto_host::kExitStartFailure;
            }
            StartWallClockAt(start);
            options.own_clock = true;
        } else if (arg == "--module") {
            options.module_file = value("--module");
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "brevanto-host: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return brevanto_host::kExitStartFailure;
        } else {
            options.scripts.emplace_back(arg);
        }
    }
    if (options.scripts.empty()) {
        Usage(stderr);
        return brevanto_host::kExitStartFailure;
    }
    brevanto_host::PageHost host(std::move(options));
    return host.Run();
}
