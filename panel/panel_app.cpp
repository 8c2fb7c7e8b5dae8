#include "panel/panel_app.h"

#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <system_error>

#include "host/bridge/script_file.h"
#include "panel/protocol.h"

namespace brevanto_panel {

namespace {

// How long the web process gets to shut the library down before the panel ends anyway.
constexpr guint kShutDownGraceMs = 3000;
// How long after the first page has loaded the screenshot is taken (the page's first timers).
constexpr guint kScreenshotDelayMs = 1000;
// What the view shows while the web process has no page of the panel's.
constexpr const char* kBlankHtml = "<!DOCTYPE html><html><body></body></html>";
constexpr const char* kBlankUri = "about:blank";

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string UriOf(const std::filesystem::path& file) {
    char* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    std::string out = uri ? uri : "";
    g_free(uri);
    return out;
}

bool IsHtml(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".html" || ext == ".htm";
}

std::string Parameter(WebKitUserMessage* message) {
    GVariant* parameter = webkit_user_message_get_parameters(message);
    if (!parameter || !g_variant_is_of_type(parameter, G_VARIANT_TYPE_STRING)) return {};
    return g_variant_get_string(parameter, nullptr);
}

}  // namespace

std::string ScriptPageHtml(const std::vector<std::filesystem::path>& scripts) {
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    if (!scripts.empty()) html += Escaped(scripts.back().filename().string());
    html += "</title></head><body>\n";
    for (const auto& script : scripts)
        html += "<script src=\"" + Escaped(UriOf(script)) + "\"></script>\n";
    html += "</body></html>\n";
    return html;
}

PanelApp::PanelApp(PanelOptions options) : options_(std::move(options)) {}

PanelApp::~PanelApp() {
    if (window_) gtk_widget_destroy(window_);
    if (loop_) g_main_loop_unref(loop_);
}

void PanelApp::OnInitializeExtensions(WebKitWebContext* context, gpointer self) {
    auto* app = static_cast<PanelApp*>(self);
    const PanelOptions& o = app->options_;
    webkit_web_context_set_web_extensions_directory(context, o.extension_dir.c_str());
    GVariantBuilder data;
    g_variant_builder_init(&data, G_VARIANT_TYPE("a{ss}"));
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::absolute(o.data_dir, ec);
    g_variant_builder_add(&data, "{ss}", kInitData, (ec ? o.data_dir : dir).c_str());
    g_variant_builder_add(&data, "{ss}", kInitSerial, o.serial.c_str());
    g_variant_builder_add(&data, "{ss}", kInitModule, o.module_file.c_str());
    g_variant_builder_add(&data, "{ss}", kInitClockStart, o.clock.c_str());
    g_variant_builder_add(&data, "{ss}", kInitAllowClock, o.allow_clock ? "yes" : "no");
    webkit_web_context_set_web_extensions_initialization_user_data(context,
                                                                   g_variant_builder_end(&data));
}

int PanelApp::Run() {
    loop_ = g_main_loop_new(nullptr, FALSE);
    WebKitWebContext* context = webkit_web_context_new();
    g_signal_connect(context, "initialize-web-extensions", G_CALLBACK(OnInitializeExtensions),
                     this);
    // One web process for the panel's life: the library and its Global live there.
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), "brevanto-panel");
    gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window_), options_.width, options_.height);
    g_signal_connect(window_, "delete-event", G_CALLBACK(OnDeleteEvent), this);

    view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
    g_object_unref(context);
    WebKitSettings* settings = webkit_web_view_get_settings(view_);
    // The pages are the data directory's files and load their scripts beside them.
    webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, TRUE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
    g_signal_connect(view_, "user-message-received", G_CALLBACK(OnMessage), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(view_, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), this);
    // A kiosk: no context menu.
    g_signal_connect(view_, "context-menu",
                     G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                    WebKitHitTestResult*, gpointer) -> gboolean { return TRUE; }),
                     nullptr);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    if (options_.fullscreen) gtk_window_fullscreen(GTK_WINDOW(window_));
    gtk_widget_show_all(window_);
    if (options_.hide_cursor) {
        GdkWindow* gdk_window = gtk_widget_get_window(window_);
        GdkCursor* none = gdk_cursor_new_from_name(gdk_window_get_display(gdk_window), "none");
        gdk_window_set_cursor(gdk_window, none);
        if (none) g_object_unref(none);
    }

    if (options_.timeout_seconds > 0) {
        g_timeout_add_seconds(
            static_cast<guint>(options_.timeout_seconds),
            [](gpointer self) -> gboolean {
                auto* app = static_cast<PanelApp*>(self);
                std::fprintf(stderr, "brevanto-panel: time-out after %d s without Global.Close()\n",
                             app->options_.timeout_seconds);
                app->End(kExitTimeout);
                return G_SOURCE_REMOVE;
            },
            this);
    }
    // Asked to stop (the system's shut-down, Ctrl-C): as Global.Close() does.
    for (int signal_number : {SIGTERM, SIGINT}) {
        g_unix_signal_add(
            signal_number,
            [](gpointer self) -> gboolean {
                static_cast<PanelApp*>(self)->End(kExitClosed);
                return G_SOURCE_CONTINUE;
            },
            this);
    }
    // The web process starts with the first load; it reports the configured start page once
    // the library runs there.
    webkit_web_view_load_html(view_, kBlankHtml, kBlankUri);
    g_main_loop_run(loop_);
    return status_;
}

gboolean PanelApp::OnMessage(WebKitWebView*, WebKitUserMessage* message, gpointer self) {
    auto* app = static_cast<PanelApp*>(self);
    const std::string name = webkit_user_message_get_name(message);
    const std::string parameter = Parameter(message);
    if (name == kMessageReady) {
        app->start_page_ = parameter;
        if (!app->options_.page.empty()) {
            if (!app->Show(app->options_.page, std::filesystem::current_path()))
                app->End(kExitStartFailure);
        } else {
            app->ShowStartPage();
        }
    } else if (name == kMessageFailed) {
        std::fprintf(stderr, "brevanto-panel: %s\n", parameter.c_str());
        app->End(kExitStartFailure);
    } else if (name == kMessageGoToPage) {
        // While starting over, the page that asked is already on its way out.
        if (!app->starting_over_ && !app->Show({parameter}, app->current_dir_)) {
            // The panel stays on the current page.
        }
    } else if (name == kMessageRestart) {
        if (app->starting_over_) return TRUE;
        if (!app->options_.page.empty())
            app->Show(app->options_.page, std::filesystem::current_path());
        else
            app->ShowStartPage();
    } else if (name == kMessageRestartRequested) {
        app->StartOver();
    } else if (name == kMessageClose) {
        if (app->status_ < 0) app->status_ = kExitClosed;
        app->Quit();  // the web process has shut the library down already
    } else if (name == kMessagePageFailed) {
        if (app->options_.exit_on_error) app->End(kExitPageError);
    } else {
        return FALSE;
    }
    return TRUE;
}

void PanelApp::ShowStartPage() {
    if (start_page_.empty()) {
        std::fprintf(stderr,
                     "brevanto-panel: no page to show: the configuration has no StartPage and no "
                     "--page was given\n");
        End(kExitStartFailure);
        return;
    }
    if (!Show({start_page_}, options_.data_dir)) End(kExitStartFailure);
}

void PanelApp::StartOver() {
    if (ending_ || starting_over_) return;
    if (options_.exit_on_restart) {
        std::printf(
            "brevanto-panel: restart requested by the network: the panel ends to be "
            "started again\n");
        std::fflush(stdout);
        End(kExitRestartRequested);
        return;
    }
    std::printf(
        "brevanto-panel: restart requested by the network: the pages start again with a "
        "fresh Global\n");
    std::fflush(stdout);
    // The page's scripts must be gone before its Global goes: the blank page first, then the
    // library (OnLoadChanged).
    starting_over_ = true;
    current_dir_.clear();
    webkit_web_view_load_html(view_, kBlankHtml, kBlankUri);
}

bool PanelApp::Show(std::vector<std::filesystem::path> files, const std::filesystem::path& base) {
    std::error_code ec;
    for (auto& file : files) {
        if (file.is_relative()) file = base / file;
        file = std::filesystem::absolute(file, ec).lexically_normal();
        // A page that cannot be read leaves the panel on the page it shows.
        std::string text;
        brevanto_host::ScriptError error;
        if (!brevanto_host::ReadScriptFile(file, &text, &error)) {
            std::fprintf(stderr, "brevanto-panel: %s (the panel stays on the current page)\n",
                         error.message.c_str());
            return false;
        }
    }
    if (files.empty()) return false;
    current_dir_ = files.back().parent_path();
    if (files.size() == 1 && IsHtml(files[0])) {
        webkit_web_view_load_uri(view_, UriOf(files[0]).c_str());
    } else {
        // Scripts run in a page of their own, whose address is the last script's.
        webkit_web_view_load_html(view_, ScriptPageHtml(files).c_str(),
                                  UriOf(files.back()).c_str());
    }
    return true;
}

void PanelApp::OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
    auto* app = static_cast<PanelApp*>(self);
    if (event == WEBKIT_LOAD_FINISHED && app->starting_over_) {
        app->starting_over_ = false;
        if (!app->ending_)
            webkit_web_view_send_message_to_page(
                view, webkit_user_message_new(kMessageStartOver, nullptr), nullptr, nullptr,
                nullptr);
        return;
    }
    if (event != WEBKIT_LOAD_FINISHED || app->options_.screenshot.empty() ||
        app->screenshot_taken_ || app->current_dir_.empty())
        return;
    app->screenshot_taken_ = true;
    g_timeout_add(
        kScreenshotDelayMs,
        [](gpointer self) -> gboolean {
            static_cast<PanelApp*>(self)->TakeScreenshot();
            return G_SOURCE_REMOVE;
        },
        app);
}

void PanelApp::TakeScreenshot() {
    webkit_web_view_get_snapshot(
        view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* view, GAsyncResult* result, gpointer self) {
            auto* app = static_cast<PanelApp*>(self);
            GError* error = nullptr;
            cairo_surface_t* surface =
                webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, &error);
            if (!surface || cairo_surface_write_to_png(surface, app->options_.screenshot.c_str()) !=
                                CAIRO_STATUS_SUCCESS) {
                std::fprintf(stderr, "brevanto-panel: cannot write the screenshot %s%s%s\n",
                             app->options_.screenshot.c_str(), error ? ": " : "",
                             error ? error->message : "");
                if (error) g_error_free(error);
                if (surface) cairo_surface_destroy(surface);
                app->End(kExitStartFailure);
                return;
            }
            cairo_surface_destroy(surface);
            std::printf("brevanto-panel: screenshot written to %s\n",
                        app->options_.screenshot.c_str());
            std::fflush(stdout);
            app->End(kExitClosed);
        },
        this);
}

void PanelApp::OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                      gpointer self) {
    auto* app = static_cast<PanelApp*>(self);
    if (app->ending_) return;
    std::fprintf(stderr, "brevanto-panel: the web process ended (%s)\n",
                 reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed" : "terminated");
    app->status_ = kExitStartFailure;
    app->Quit();
}

gboolean PanelApp::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<PanelApp*>(self)->End(kExitClosed);
    return TRUE;
}

void PanelApp::End(int status) {
    if (status_ < 0) status_ = status;
    if (ending_) return;
    ending_ = true;
    // The web process shuts the library down (the bus port, the settings) and answers.
    webkit_web_view_send_message_to_page(
        view_, webkit_user_message_new(kMessageShutDown, nullptr), nullptr,
        [](GObject*, GAsyncResult*, gpointer self) { static_cast<PanelApp*>(self)->Quit(); }, this);
    g_timeout_add(
        kShutDownGraceMs,
        [](gpointer self) -> gboolean {
            static_cast<PanelApp*>(self)->Quit();
            return G_SOURCE_REMOVE;
        },
        this);
}

void PanelApp::Quit() {
    ending_ = true;
    if (status_ < 0) status_ = kExitClosed;
    g_main_loop_quit(loop_);
}

}  // namespace brevanto_panel
