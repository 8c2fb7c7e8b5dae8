// What the panel application and its web-process extension tell each other: the start-up data
// the application hands the extension, and the names of the messages between them.
#pragma once

namespace brevanto_panel {

// Keys of the extension's initialization data (a dictionary of strings).
inline constexpr const char* kInitData = "data";               // the data directory
inline constexpr const char* kInitSerial = "serial";           // --serial, or empty
inline constexpr const char* kInitModule = "module";           // the library module file
inline constexpr const char* kInitClockStart = "clock-start";  // --clock's text
inline constexpr const char* kInitAllowClock = "allow-clock";  // "yes" with --allow-clock

// Web process -> application.
// The library is running; parameter: the configuration's start page (may be empty).
inline constexpr const char* kMessageReady = "brevanto.ready";
// The library could not start; parameter: why.
inline constexpr const char* kMessageFailed = "brevanto.failed";
// Global.GoToPage; parameter: the page as the script named it.
inline constexpr const char* kMessageGoToPage = "brevanto.go-to-page";
// Global.Restart: the start page again.
inline constexpr const char* kMessageRestart = "brevanto.restart";
// The lighting network asked the panel to restart.
inline constexpr const char* kMessageRestartRequested = "brevanto.restart-requested";
// Global.Close, once the library has shut down.
inline constexpr const char* kMessageClose = "brevanto.close";
// An uncaught error while the page's scripts first ran; parameter: the report.
inline constexpr const char* kMessagePageFailed = "brevanto.page-failed";

// Application -> web process.
// The panel ends (time-out, window closed): shut the library down, then answer.
inline constexpr const char* kMessageShutDown = "brevanto.shut-down";
// Start over as if the panel had started again (the page has ended): a fresh Global, then
// kMessageReady (or kMessageFailed) as at the start.
inline constexpr const char* kMessageStartOver = "brevanto.start-over";

}  // namespace brevanto_panel
