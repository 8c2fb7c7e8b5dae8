// brevanto-panel: the panel's pages in a kiosk window, with the object library inside.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/bridge/clock_option.h"
#include "host/bridge/library_module.h"
#include "panel/panel_app.h"
#include "platform/version.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: brevanto-panel [--data DIR] [--serial PATH] [--page FILE] [--timeout SECONDS]\n"
        "                      [--clock \"YYYY-MM-DD HH:MM:SS\"] [--allow-clock]\n"
        "                      [--screenshot FILE.png] [--fullscreen] [--hide-cursor]\n"
        "                      [--size WIDTHxHEIGHT] [--exit-on-error] [--exit-on-restart]\n"
        "                      [--module FILE] [SCRIPT.js...]\n"
        "       brevanto-panel --help | --version\n"
        "Shows the data directory's start page (the configuration's StartPage) in a borderless\n"
        "window, with Global, ActiveXObject, Enumerator and VBArray in its scripts.\n"
        "  --data DIR       the data directory (configuration, schedules, users, pages)\n"
        "  --serial PATH    the device of the lighting bus (port 1)\n"
        "  --page FILE      show this page instead: an HTML file, or scripts that run in order\n"
        "                   in an empty page (also given as SCRIPT.js arguments)\n"
        "  --timeout S      end with status 2 after S seconds\n"
        "  --clock TIME     start the panel's local time at TIME, in the zone of TZ\n"
        "  --allow-clock    let SetLocalTime set the system clock (when permitted)\n"
        "  --screenshot F   write the window to the PNG file F a second after the first page\n"
        "                   has loaded, then end\n"
        "  --fullscreen, --hide-cursor, --size WxH   the window on the panel's screen\n"
        "  --exit-on-error  end with status 1 on an uncaught error while a page first runs\n"
        "  --exit-on-restart  end with status 4 when the lighting network asks the panel to\n"
        "                   restart, for a service manager to start it again (without it the\n"
        "                   panel starts over with a fresh Global and the start page)\n"
        "  --module FILE    the library module (default: libbrevanto.so beside the program)\n"
        "Exit status: 0 on Global.Close(), 2 at the time-out, 1 on an uncaught error while a\n"
        "page first runs with --exit-on-error, 3 when it cannot start, 4 on the network's\n"
        "restart request with --exit-on-restart.\n");
}

// The directory of the web-process extension: beside the program in the build tree, else the
// installed extension folder found from the program's folder, so that an installation can be
// moved as a whole.
std::filesystem::path ExtensionDir() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::filesystem::path beside = self.parent_path() / "extension";
    if (std::filesystem::is_directory(beside, ec)) return beside;
    return (self.parent_path() / BREVANTO_INSTALLED_EXTENSION_DIR).lexically_normal();
}

}  // namespace

int main(int argc, char** argv) {
    using brevanto_panel::kExitStartFailure;
    brevanto_panel::PanelOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "brevanto-panel: %s needs a value\n", name);
                std::exit(kExitStartFailure);
            }
            return argv[++i];
        };
        if (arg == "--data") {
            options.data_dir = value("--data");
        } else if (arg == "--serial") {
            options.serial = value("--serial");
        } else if (arg == "--page") {
            options.page.emplace_back(value("--page"));
        } else if (arg == "--timeout") {
            const char* text = value("--timeout");
            char* end = nullptr;
            long seconds = std::strtol(text, &end, 10);
            if (!*text || *end || seconds < 0 || seconds > 1000000) {
                std::fprintf(stderr, "brevanto-panel: bad --timeout value \"%s\"\n", text);
                return kExitStartFailure;
            }
            options.timeout_seconds = static_cast<int>(seconds);
        } else if (arg == "--clock") {
            const char* text = value("--clock");
            std::chrono::system_clock::time_point start;
            if (!brevanto_host::ParseClockOption(text, &start)) {
                std::fprintf(stderr,
                             "brevanto-panel: bad --clock value \"%s\" (want \"YYYY-MM-DD "
                             "HH:MM:SS\")\n",
                             text);
                return kExitStartFailure;
            }
            options.clock = text;
        } else if (arg == "--allow-clock") {
            options.allow_clock = true;
        } else if (arg == "--screenshot") {
            options.screenshot = value("--screenshot");
        } else if (arg == "--fullscreen") {
            options.fullscreen = true;
        } else if (arg == "--hide-cursor") {
            options.hide_cursor = true;
        } else if (arg == "--exit-on-error") {
            options.exit_on_error = true;
        } else if (arg == "--exit-on-restart") {
            options.exit_on_restart = true;
        } else if (arg == "--size") {
            const char* text = value("--size");
            if (std::sscanf(text, "%dx%d", &options.width, &options.height) != 2 ||
                options.width <= 0 || options.height <= 0) {
                std::fprintf(stderr, "brevanto-panel: bad --size value \"%s\"\n", text);
                return kExitStartFailure;
            }
        } else if (arg == "--module") {
            options.module_file = value("--module");
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::fputs(brevanto::VersionText("brevanto-panel").c_str(), stdout);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "brevanto-panel: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return kExitStartFailure;
        } else {
            options.page.emplace_back(arg);
        }
    }
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "brevanto-panel: cannot open the display\n");
        return kExitStartFailure;
    }
    std::error_code ec;
    if (options.module_file.empty())
        options.module_file = brevanto_host::LibraryModule::DefaultFile();
    options.module_file = std::filesystem::absolute(options.module_file, ec);
    options.extension_dir = ExtensionDir();
    brevanto_panel::PanelApp app(std::move(options));
    return app.Run();
}
