// Script texts every host runs in a page before the page's own scripts.
#pragma once

namespace brevanto_host {

// The hidden script the library evaluates object trees with (GetScript(" hidden script")),
// as the page global `__hiddenScript`, not enumerable.
inline constexpr const char* kHiddenScriptSetup = R"js(
Object.defineProperty(this, '__hiddenScript', { enumerable: false, value: {
    eval: function (text, mode) { return (0, eval)(String(text)); }
} });
)js";

// With --clock, the page's Date reads the panel's clock too: new Date() and Date.now() are
// moved by the panel clock's offset (as it is at each call: SetLocalTime moves it), every other
// use of Date is the engine's own. A function expression: call it with the native function that
// reads the offset in milliseconds.
inline constexpr const char* kClockSetup = R"js(
(function (offset) {
    var EngineDate = Date;
    function ClockDate(y, m, d, h, min, s, ms) {
        var n = arguments.length;
        if (!(this instanceof ClockDate)) return new EngineDate(ClockDate.now()).toString();
        if (n === 0) return new EngineDate(ClockDate.now());
        if (n === 1) return new EngineDate(y);
        return new EngineDate(y, m, n > 2 ? d : 1, n > 3 ? h : 0, n > 4 ? min : 0, n > 5 ? s : 0,
                              n > 6 ? ms : 0);
    }
    ClockDate.prototype = EngineDate.prototype;
    ClockDate.now = function () { return EngineDate.now() + offset(); };
    ClockDate.parse = EngineDate.parse;
    ClockDate.UTC = EngineDate.UTC;
    Date = ClockDate;
})
)js";

}  // namespace brevanto_host
