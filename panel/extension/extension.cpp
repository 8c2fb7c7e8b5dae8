// The panel's web-process extension: WebKit loads it into the web process that shows the
// panel's pages, with the settings the application passed.
#include <webkit2/webkit-web-extension.h>

#include <chrono>
#include <string>

#include "host/bridge/clock_option.h"
#include "panel/extension/web_panel.h"
#include "panel/protocol.h"
#include "platform/clock.h"

namespace {

std::string Setting(GVariant* data, const char* key) {
    const char* value = nullptr;
    if (data && g_variant_is_of_type(data, G_VARIANT_TYPE("a{ss}")) &&
        g_variant_lookup(data, key, "&s", &value))
        return value;
    return {};
}

// The panel lives as long as the web process.
brevanto_panel::WebPanel* g_panel = nullptr;

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(
    WebKitWebExtension* extension, GVariant* data) {
    using namespace brevanto_panel;
    WebPanelSettings settings;
    if (std::string dir = Setting(data, kInitData); !dir.empty()) settings.data_dir = dir;
    settings.serial = Setting(data, kInitSerial);
    settings.module_file = Setting(data, kInitModule);
    settings.clock.allow_system = Setting(data, kInitAllowClock) == "yes";
    if (std::string start = Setting(data, kInitClockStart); !start.empty()) {
        std::chrono::system_clock::time_point moment;
        if (brevanto_host::ParseClockOption(start, &moment)) {
            StartWallClockAt(moment);
            settings.clock.own_clock = true;
        }
    }
    g_panel = new WebPanel(extension, std::move(settings));
}
