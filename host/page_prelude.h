// This host's page globals written in script: the window timers and console, and the
// enumeration the library's prelude (host/bridge/page_prelude.h) stands on. A function
// expression, called with the page's global object and the natives.
#pragma once

namespace brevanto_host {

inline constexpr const char* kPagePrelude = R"js(
(function (g, n) {
    n.enumerate = function (collection) {
        return n.isLibraryObject(collection) ? n.newEnum(collection) : null;
    };

    // Timers: kept here, run by the host's pump through __runTimers.
    var timers = {}, nextId = 1;
    function addTimer(fn, ms, args, repeat) {
        ms = Number(ms) || 0;
        if (ms < 0) ms = 0;
        var id = nextId++;
        timers[id] = { fn: fn, ms: ms, due: n.now() + ms, args: args, repeat: repeat };
        n.wake();
        return id;
    }
    function clearTimer(id) { delete timers[id]; }
    g.setTimeout = function (fn, ms) {
        return addTimer(fn, ms, Array.prototype.slice.call(arguments, 2), false);
    };
    g.setInterval = function (fn, ms) {
        return addTimer(fn, ms, Array.prototype.slice.call(arguments, 2), true);
    };
    g.clearTimeout = clearTimer;
    g.clearInterval = clearTimer;
    // One pass: runs the timers that were due when it began, earliest first (a callback that
    // throws is reported and the pass goes on); returns ms until the next one is due (0: now),
    // or -1. A timer that is due again (an interval of 0, or slower than its period) waits for
    // the next pass, so the host gets its turn in between.
    Object.defineProperty(g, '__runTimers', { enumerable: false, value: function () {
        var now = n.now(), due = [], id, k;
        for (id in timers) if (timers[id].due <= now) due.push(+id);
        due.sort(function (a, b) { return timers[a].due - timers[b].due || a - b; });
        for (k = 0; k < due.length; k++) {
            var t = timers[due[k]];
            if (!t) continue;  // cleared by an earlier callback of this pass
            if (t.repeat) t.due = Math.max(t.due + t.ms, n.now()); else delete timers[due[k]];
            try {
                if (typeof t.fn === 'function') t.fn.apply(g, t.args);
                else (0, eval)(String(t.fn));
            } catch (e) {
                n.report(e);
            }
        }
        var next = -1;
        now = n.now();
        for (id in timers) {
            var wait = Math.max(0, Math.ceil(timers[id].due - now));
            if (next < 0 || wait < next) next = wait;
        }
        return next;
    } });

    g.window = g;
    g.console = { log: function () {
        n.log(Array.prototype.map.call(arguments, String).join(' '));
    } };
})
)js";

}  // namespace brevanto_host
