// brevanto-host: runs panel pages against the object library on a PC.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/bridge/clock_option.h"
#include "host/page_host.h"
#include "platform/clock.h"
#include "platform/version.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: brevanto-host [OPTION]... SCRIPT.js...\n"
        "       brevanto-host --data DIR [OPTION]...\n"
        "Runs a panel: loads the object library, attaches itself to Global (which loads the\n"
        "data directory's Config.xml, users, schedules, holidays and place), then runs the\n"
        "page's scripts in order on one script thread until the page ends. Without scripts,\n"
        "the page runs that Config.xml names as StartPage, a file of the data directory.\n"
        "Errors of callbacks (event handlers, filter callbacks, timers) are reported and the\n"
        "page goes on.\n"
        "\n"
        "  --data DIR        the data directory (Config.xml and the files beside it);\n"
        "                    default: the current directory\n"
        "  --serial PATH     the device of the panel's port (the \"COMn:\" of the Port0 setting,\n"
        "                    COM3: by default), e.g. /dev/serial/by-id/usb-...-port0 or a\n"
        "                    brevanto-bus drop; without it the port's saved mapping is used\n"
        "  --timeout SECONDS end with status 2 when the page has not closed by then\n"
        "  --quiet           print nothing of the page's log\n"
        "  --clock \"YYYY-MM-DD HH:MM:SS\"\n"
        "                    start the panel's local time (the library's and the page's Date)\n"
        "                    at that moment in the zone of TZ; it then runs at normal speed and\n"
        "                    Global.SetLocalTime sets it\n"
        "  --allow-clock     let Global.SetLocalTime set the system clock (as root only);\n"
        "                    without it and without --clock the page may not set the time\n"
        "  --module FILE     the object library to load instead of the installed one\n"
        "  --exit-on-restart on the network's restart request end with status 4, for a service\n"
        "                    manager to start the panel again; without it the pages start\n"
        "                    again with a fresh Global in this process\n"
        "  --help            print this and exit\n"
        "  --version         print the version and exit\n"
        "\n"
        "Exit status:\n"
        "  0   the page called Global.Close(), the network asked the panel to shut down, or\n"
        "      SIGTERM or SIGINT arrived (the panel ends in order in each case; a second\n"
        "      signal ends it at once with 128 + the signal's number)\n"
        "  1   an uncaught error of the page's own scripts\n"
        "  2   the time-out of --timeout\n"
        "  3   the panel could not start (the library, Global or the start page)\n"
        "  4   the network asked the panel to restart (with --exit-on-restart)\n"
        "  64  a wrong command line\n");
}

// SIGTERM and SIGINT close the panel in order; a second one ends the process at once, as the
// signal would have. They are blocked before any thread starts, so that every thread inherits
// the mask and only this waiting thread takes them. SIGUSR2, blocked the same way, is the host's
// own word that the panel has ended: the thread returns and is joined, so that nothing of the
// host runs while the process ends.
class SignalWatcher {
  public:
    SignalWatcher(brevanto_host::PageHost* host, const sigset_t& signals)
        : thread_([host, signals] {
              int signal = 0;
              if (sigwait(&signals, &signal) != 0 || signal == SIGUSR2) return;
              host->Log(std::string("brevanto-host: ") +
                        (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ": closing the panel");
              host->RequestClose();
              if (sigwait(&signals, &signal) == 0 && signal != SIGUSR2) std::_Exit(128 + signal);
          }) {}
    ~SignalWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR2);
        thread_.join();
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    brevanto_host::HostOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "brevanto-host: %s needs a value\n", name);
                std::exit(brevanto_host::kExitUsage);
            }
            return argv[++i];
        };
        if (arg == "--data") {
            options.data_dir = value("--data");
            options.data_given = true;
        } else if (arg == "--serial") {
            options.serial = value("--serial");
        } else if (arg == "--timeout") {
            const char* text = value("--timeout");
            char* end = nullptr;
            long seconds = std::strtol(text, &end, 10);
            if (!*text || *end || seconds < 0 || seconds > 1000000) {
                std::fprintf(stderr, "brevanto-host: bad --timeout value \"%s\"\n", text);
                return brevanto_host::kExitUsage;
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
                return brevanto_host::kExitUsage;
            }
            StartWallClockAt(start);
            options.own_clock = true;
        } else if (arg == "--module") {
            options.module_file = value("--module");
        } else if (arg == "--exit-on-restart") {
            options.exit_on_restart = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::fputs(brevanto::VersionText("brevanto-host").c_str(), stdout);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "brevanto-host: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return brevanto_host::kExitUsage;
        } else {
            options.scripts.emplace_back(arg);
        }
    }
    if (options.scripts.empty() && !options.data_given) {
        std::fprintf(stderr,
                     "brevanto-host: no page to run: give the page's scripts, or --data "
                     "DIR to run its StartPage\n");
        Usage(stderr);
        return brevanto_host::kExitUsage;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    brevanto_host::PageHost host(std::move(options));
    int status = 0;
    {
        SignalWatcher watcher(&host, signals);
        status = host.Run();
    }
    return status;
}
