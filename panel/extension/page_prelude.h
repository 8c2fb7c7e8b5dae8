// The panel's page globals written in script: console.log, the report of uncaught errors, and
// the enumeration the library's prelude (host/bridge/page_prelude.h) stands on. Called with
// the page's global object and the bridge's natives, before the library's prelude.
#pragma once

namespace brevanto_panel {

inline constexpr const char* kPagePrelude = R"js(
(function (g, n) {
    // The library's prelude enumerates through handles; this engine reads a collection's
    // items at once.
    n.enumerate = function (collection) {
        var items = n.enumItems(collection);
        return items && { items: items, at: 0 };
    };
    n.enumNext = function (handle) {
        return handle.at < handle.items.length ? [true, handle.items[handle.at++]] : [false];
    };
    n.enumReset = function (handle) { handle.at = 0; };

    var log = function () {
        n.log(Array.prototype.map.call(arguments, String).join(' '));
    };
    if (g.console) {
        g.console.log = log;
    } else {
        g.console = { log: log };
    }

    // Uncaught errors: while the page's scripts first run (until the load event) they are the
    // page's own failures; later ones come from callbacks and the page goes on.
    if (g.addEventListener) {
        var loaded = false;
        g.addEventListener('load', function () { loaded = true; });
        g.addEventListener('error', function (event) {
            n.report(event.error !== undefined ? event.error : event.message, event.filename,
                     event.lineno, !loaded);
        });
    }
})
)js";

}  // namespace brevanto_panel
