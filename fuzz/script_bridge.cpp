// The reference host's script bridge: page scripts in the Duktape engine using the library's
// objects, which the host loads from the built module as brevanto-host does.
//
// The input is a little program that writes a page script from a fixed grammar, with no loops:
// each step fills a value slot or a library object slot, or acts on a library object. Values are
// numbers at the edges (-0, NaN, the infinities, 2^31, 2^53 + 1, any double), text with NULs,
// lone and paired surrogates and characters beyond the first plane, arrays (sparse, 100000
// long, nested deeply), lists that claim any length, plain, cyclic and Proxy objects, objects
// whose getters or conversions throw, functions (that throw, that call the library again),
// Dates (invalid ones too), safe arrays and the library's objects. The acts make objects of the
// creatable classes by name with the page's `new ActiveXObject`, put values to their expando and
// typed members, read them, call their methods with values, store functions as their callbacks,
// hand objects to each other, enumerate them and script lists, and call script functions: from a
// window timer, from script, and as the library calls what it holds (through IDispatch, with the
// argument as a VARIANT). No Global runs, so the library never calls its callbacks itself (a
// timer's tick, a filter's match); it calls script through conversions (valueOf, toString,
// getters, lengths) and enumeration.
//
// One page site serves the whole run, with the module loaded once and no Global (no serial
// line, data files or workers); each input gets an engine of its own. After the window timers
// have run, the script deletes the members it put to library objects (objects that hold one
// another through them are a reference cycle, which a page has to break itself), and the page's
// end takes the engine and every object the input made with it.
//
// Checked beyond the sanitizers: running the script returns (a script error is fine; a C++
// exception or an abort is not), and a value put to an expando member reads back as the same
// value, at once and at the end of the script, wherever the value rules promise it: the same
// number (-0 and NaN included) for numbers, === for text (a lone surrogate comes back as
// U+FFFD, a pair as itself), the same object for script and library objects, dates included,
// and for a safe array (a value, copied each way) one of the same bounds and elements. Member
// names that differ (in more than case) are different members, beyond the first plane too.
//
// FUZZ_TRACE=1 prints each input's script.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_input.h"
#include "host/bridge/page_site.h"
#include "host/script_engine.h"
#include "platform/script_call.h"

namespace {

using brevanto_host::PageSite;
using brevanto_host::ScriptEngine;
using brevanto_host::ScriptError;

constexpr int kMaxSteps = 32;
constexpr int kValueSlots = 8;
constexpr int kObjectSlots = 4;

// The classes a page makes by name (the Global aside: a page may not make another), and names
// that are no class.
constexpr const char* kClasses[] = {
    "Brevanto.Packet",        "Brevanto.Packet.1",
    "Brevanto.PacketFilter",  "Brevanto.PacketWithResponse",
    "Brevanto.PublicHoliday", "Brevanto.Schedule",
    "Brevanto.Schedule.1",    "Brevanto.Timer",
    "Brevanto.Timer.1",       "No.Such.Class",
};

// Typed members of those classes. Timer.Start is left out: its callbacks come from a worker that
// waits for this thread, which only pumps between inputs.
constexpr const char* kMembers[] = {
    "Item",
    "Count",
    "Add",
    "Remove",
    "Assign",
    "GetSafeArray",
    "PacketSent",
    "PacketTime",
    "PortNumber",
    "QuickDecode",
    "Delay",
    "Logical",
    "Opcode",
    "Area",
    "Join",
    "BoxNumber",
    "Name",
    "Period",
    "OneShot",
    "Callback",
    "Cancel",
    "Enabled",
    "id",
    "PacketToMatch",
    "FilterPacket",
    "MatchesPacket",
    "OnFilterMatches",
    "OnFilterMatchFailed",
    "Priority",
    "Enable",
    "Callbacks",
    "DestroyNow",
    "Day",
    "Month",
    "Year",
    "Hours",
    "Minutes",
    "DayOfWeek",
    "DayOfMonth",
    "EventNumber",
    "RelativeTo",
    "Trigger",
    "SendPreset",
    "RequestLogicalLevel",
    "toString",
};

// Expando member names: two of them are one member, in another case; two are characters beyond
// the first plane (in the page's UTF-8 and escaped), each a member of its own.
constexpr const char* kExpandos[] = {"Ex0",           "Ex1", "EX0", "zz", "\xF0\x9F\x98\x80",
                                     "\\uD83D\\uDE01"};

constexpr const char* kNumbers[] = {
    "0",
    "(-0)",
    "NaN",
    "Infinity",
    "(-Infinity)",
    "2147483647",
    "2147483648",
    "(-2147483648)",
    "(-2147483649)",
    "4294967295",
    "4294967296",
    "9007199254740993",
    "1.5",
    "(-1e308)",
    "5e-324",
    "1.7976931348623157e308",
    "0.1",
    "(-1)",
    "255",
    "65536",
};

constexpr const char* kTexts[] = {
    "''",
    "'a'",
    "'\\u0000'",
    "'a\\u0000b'",
    "'\\uD800'",
    "'\\uDC00x'",
    "'\\uD83D\\uDE00'",
    "'\xF0\x9F\x98\x80'",  // one character beyond the first plane, as page text holds it
    "'\\uFFFF\\uFEFF'",
    "'caf\xC3\xA9'",
    "new Array(2001).join('ab')",
    "String.fromCharCode(0xDBFF, 0xDFFF, 0xDC00)",
    "'12'",
    "' 0x10 '",
};

constexpr const char* kDates[] = {
    "new Date(0)",           "new Date(NaN)",      "new Date(8.64e15)",
    "new Date(8.64e15 + 1)", "new Date(-8.64e15)", "new Date(2024, 1, 29, 12, 30, 15, 500)",
    "new Date(1e12)",        "new Date(-1)",       "new Date(1899, 11, 30)",
};

// The script every input's steps run in: V the values, L the library objects (or whatever a
// step put there), M the objects made by name, W the expando members put to those so far
// (object, lower-case name, value, name as put), C other objects that members were put to.
constexpr const char* kPreamble = R"js(
var V = [], L = [], W = [], M = [], C = [];
function __made(o) { M.push(o); return o; }
function __cleaned(o) { C.push(o); return o; }
function __same(a, b) {
    if (a === b) return a !== 0 || 1 / a === 1 / b;
    return a !== a && b !== b;
}
// Text as it comes back: each lone surrogate replaced.
function __text(s) {
    var r = '';
    for (var i = 0; i < s.length; i++) {
        var c = s.charCodeAt(i), d = s.charCodeAt(i + 1);
        if (c >= 0xD800 && c <= 0xDBFF && d >= 0xDC00 && d <= 0xDFFF) r += s.charAt(i) + s.charAt(++i);
        else r += c >= 0xD800 && c <= 0xDFFF ? '\uFFFD' : s.charAt(i);
    }
    return r;
}
// A safe array is a value: each read makes a new script object of the same elements.
function __safeArray(v) {
    if (v === null || typeof v !== 'object') return null;
    try { return new VBArray(v); } catch (e) { return null; }
}
function __sameSafeArray(v, back) {
    var a = __safeArray(v), b = __safeArray(back);
    if (!a || !b || a.dimensions() !== b.dimensions()) return false;
    for (var d = 1; d <= a.dimensions(); d++)
        if (a.lbound(d) !== b.lbound(d) || a.ubound(d) !== b.ubound(d)) return false;
    var x = a.toArray(), y = b.toArray();
    if (x.length !== y.length) return false;
    for (var i = 0; i < x.length; i++) if (!__same(x[i], y[i])) return false;
    return true;
}
function __describe(v) {
    if (typeof v === 'string') {
        var codes = [];
        for (var i = 0; i < v.length && i < 12; i++) codes.push(v.charCodeAt(i).toString(16));
        return 'string(' + v.length + ': ' + codes.join(' ') + ')';
    }
    if (typeof v === 'number') return 'number ' + (v === 0 && 1 / v < 0 ? '-0' : String(v));
    return typeof v;
}
function __check(o, name, v, when) {
    var back;
    try { back = o[name]; } catch (e) { __fail(when + ': reading ' + name + ' back threw ' + e); return; }
    var ok = typeof v === 'string' ? back === __text(v) : __same(v, back) || __sameSafeArray(v, back);
    if (!ok) __fail(when + ': ' + name + ' was put ' + __describe(v) + ', read back ' + __describe(back));
}
// Puts a member; one of an object made by name is written down and read back.
function __put(o, name, v) {
    try { o[name] = v; } catch (e) { return; }
    if (M.indexOf(o) < 0) return;
    var key = name.toLowerCase();
    for (var i = 0; i < W.length; i++)
        if (W[i][0] === o && W[i][1] === key) { W.splice(i, 1); break; }
    W.push([o, key, v, name]);
    __check(o, name, v, 'at once');
}
function __forget(o, name) {
    var key = name.toLowerCase();
    for (var i = 0; i < W.length; i++)
        if (W[i][0] === o && W[i][1] === key) { W.splice(i, 1); break; }
}
function __forgetAll(o) {
    for (var i = W.length - 1; i >= 0; i--) if (W[i][0] === o) W.splice(i, 1);
}
function __fn(f) { return typeof f === 'function' ? f : function () { return f; }; }
)js";

constexpr const char* kEpilogue = R"js(
for (var __i = 0; __i < W.length; __i++) __check(W[__i][0], W[__i][3], W[__i][2], 'at the end');
)js";

// After the window timers: library objects that hold one another through expando members (a put
// of a typed member that an object lacks makes one too) are a
// reference cycle, which the page itself has to break (only the library's own cycles are broken
// when a page ends).
constexpr const char* kCleanUp = R"js(
M.concat(C).forEach(function (o) {
    var names = [];
    try { for (var n in o) names.push(n); } catch (e) {}
    names.forEach(function (name) { try { delete o[name]; } catch (e) {} });
});
)js";

// What the page site needs of a host program: nothing here leaves the page or loads scripts.
class FuzzPageHost final : public PageSite::Host {
  public:
    void Log(const std::string&) override {}
    void RequestPage(const std::string&) override {}
    void RequestRestart() override {}
    void RequestClose() override {}
    bool HasPage() override { return true; }
    std::filesystem::path PageDirectory() override { return ScratchDirectory(); }
    bool RunRemovableFile(const std::filesystem::path&, ScriptError*) override { return false; }
    void Report(const ScriptError&) override {}
    std::vector<std::string> GlobalNames() override { return {}; }
    void DeleteGlobal(const std::string&) override {}
    HRESULT GlobalObject(const char*, IDispatch**) override { return E_NOTIMPL; }
    HRESULT Evaluate(const std::string&, VARIANT*) override { return E_NOTIMPL; }
    std::string EngineNameExpression() override { return "'fuzz'"; }
};

struct Run {
    FuzzPageHost host;
    PageSite site{host, "Fuzz"};

    Run() {
        FUZZ_CHECK(site.EnterApartment());
        std::string error;
        if (!site.LoadModule(BREVANTO_MODULE_FILE, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            FUZZ_CHECK(false);
        }
    }
};

Run& TheRun() {
    static Run* run = new Run;  // lives as long as the process
    return *run;
}

// What the script's invariant checks found, for the native __fail.
std::string* failures = nullptr;

duk_ret_t Fail(duk_context* ctx) {
    if (failures) *failures += std::string(duk_safe_to_string(ctx, 0)) + "\n";
    return 0;
}

ScriptEngine* current_engine = nullptr;

// __callFromLibrary(f, argument): calls f the way the library calls a function it holds (a
// callback it was given or read back), with the argument as a VARIANT, and gives back what the
// call returned (undefined when it failed). The library's part works on plain VARIANTs, cleared
// before anything is pushed: no C++ object is alive while the engine may raise an error.
duk_ret_t CallFromLibrary(duk_context* ctx) {
    VARIANT function, argument, result;
    VariantInit(&function);
    VariantInit(&argument);
    VariantInit(&result);
    HRESULT hr = current_engine->ToVariant(0, &function, false);
    if (SUCCEEDED(hr)) hr = current_engine->ToVariant(1, &argument, true);
    if (SUCCEEDED(hr) && function.vt == VT_DISPATCH && function.pdispVal)
        hr = CallScriptFunction(function.pdispVal, argument, &result);
    const bool pushed = SUCCEEDED(hr) && SUCCEEDED(current_engine->PushVariant(result));
    VariantClear(&function);
    VariantClear(&argument);
    VariantClear(&result);
    if (!pushed) duk_push_undefined(ctx);
    return 1;
}

// A double as script source text.
std::string NumberText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "(-Infinity)";
    if (value == 0) return std::signbit(value) ? "(-0)" : "0";
    char text[40];
    std::snprintf(text, sizeof text, "(%.17g)", value);
    return text;
}

// Writes the page script an input describes.
class ScriptWriter {
  public:
    explicit ScriptWriter(FuzzInput& input) : in_(input) {}

    std::string Write() {
        std::string script = kPreamble;
        for (int step = 0; step < kMaxSteps && in_.remaining() > 0; ++step)
            script += "try { " + Step() + " } catch (e) {}\n";
        return script + kEpilogue;
    }

  private:
    template <std::size_t N>
    const char* Pick(const char* const (&table)[N]) {
        return table[in_.InRange<std::size_t>(0, N - 1)];
    }
    std::string V() { return "V[" + std::to_string(in_.InRange(0, kValueSlots - 1)) + "]"; }
    std::string L() { return "L[" + std::to_string(in_.InRange(0, kObjectSlots - 1)) + "]"; }
    std::string Quoted(const char* name) { return std::string("'") + name + "'"; }

    // Text from the input, as UTF-16 code units of any value.
    std::string InputText() {
        const int length = in_.InRange(0, 6);
        std::string text = "'";
        for (int i = 0; i < length; ++i) {
            char unit[8];
            std::snprintf(unit, sizeof unit, "\\u%04X", in_.Integral<std::uint16_t>());
            text += unit;
        }
        return text + "'";
    }

    std::string Value() {
        switch (in_.InRange(0, 17)) {
            case 0:
                return Pick(kNumbers);
            case 1:
                return NumberText(in_.Floating<double>());
            case 2:
                return std::to_string(in_.Integral<std::int32_t>());
            case 3:
                return Pick(kTexts);
            case 4:
                return InputText();
            case 5: {
                static constexpr const char* kPlain[] = {"true", "false", "null", "undefined"};
                return Pick(kPlain);
            }
            case 6:
                // Arrays and objects hold one earlier value each: a script's own text or JSON of
                // what an input builds stays linear in its steps.
                return "[" + V() + ", " + std::string(Pick(kNumbers)) + "]";
            case 7: {
                // Sparse and long arrays, and lists whose length lies. A real array stays short
                // enough for its own text (which the library may ask for) to be cheap.
                static constexpr const char* kIndexes[] = {"5", "1000", "65535", "99999"};
                const int kind = in_.InRange(0, 2);
                if (kind == 0)
                    return "(function () { var a = []; a[" + std::string(Pick(kIndexes)) +
                           "] = " + V() + "; return a; })()";
                if (kind == 1)
                    return "(function () { var a = [" + V() +
                           "]; a.length = 100000; return a; })()";
                return "{ length: " + std::string(Pick(kNumbers)) + ", 0: " + V() + " }";
            }
            case 8: {
                // Nested deeply: up to 300 arrays or objects in one another.
                const int depth = in_.InRange(1, 300);
                const bool arrays = in_.Bool();
                std::string open, close;
                for (int i = 0; i < depth; ++i) {
                    open += arrays ? "[" : "{\"a\":";
                    close += arrays ? "]" : "}";
                }
                return "JSON.parse('" + open + "1" + close + "')";
            }
            case 9:
                return "{ a: " + V() + ", b: " + std::string(Pick(kTexts)) + " }";
            case 10:
                // A cyclic array's own text joins itself down to the engine's recursion limit,
                // joining a long array it holds at every level: it gets a text of its own.
                return in_.Bool()
                           ? "(function () { var o = { v: " + V() + " }; o.self = o; return o; })()"
                           : "(function () { var a = [" + V() +
                                 "]; a.push(a); a.toString = function () { return 'cyclic'; };"
                                 " return a; })()";
            case 11: {
                static constexpr const char* kFunctions[] = {
                    "function (a, b) { return a; }",
                    "function () { throw new Error('thrown by a callback'); }",
                    "function () { return this; }",
                    "function () { throw 7; }",
                    "function (p) { return L[0] && L[0].Count; }",
                    "function (p) { if (L[1]) __put(__cleaned(L[1]), 'Ex1', p); return true; }",
                    "function (p) { return V[1]; }",
                    "(function () {}).bind(null)",
                    "Math.max",
                };
                return std::string("(") + Pick(kFunctions) + ")";
            }
            case 12:
                return Pick(kDates);
            case 13: {
                // Getters and conversions that throw, lengths that lie.
                static constexpr const char* kHostile[] = {
                    "{ get length() { throw new Error('length'); } }",
                    "{ length: 2, get 0() { throw new Error('item'); }, 1: 1 }",
                    "{ valueOf: function () { throw new Error('valueOf'); },"
                    " toString: function () { throw new Error('toString'); } }",
                    "{ valueOf: function () { return 3; } }",
                    "{ toString: function () { return 'text'; } }",
                    "{ get length() { return L[0]; } }",
                    "Object.create(null)",
                    "new Proxy({}, { get: function () { throw new Error('get'); },"
                    " has: function () { throw new Error('has'); },"
                    " ownKeys: function () { throw new Error('keys'); } })",
                    "new Proxy([1, 2], {})",
                    "new Error('an error')",
                    "/x/g",
                    "new Number(5)",
                    "new String('boxed')",
                    "new Boolean(false)",
                    "(function () { return arguments; })(1, 2)",
                };
                return std::string("(") + Pick(kHostile) + ")";
            }
            case 14:
                return L();
            case 15:
                return L() + "[" + Quoted(Pick(kMembers)) + "]";
            case 16:
                return L() + "[" + Quoted(Pick(kExpandos)) + "]";
            default:
                return L() + ".GetSafeArray(" + std::to_string(in_.InRange(0, 20)) + ")";
        }
    }

    // Up to three arguments.
    std::string Arguments() {
        const int count = in_.InRange(0, 3);
        std::string text;
        for (int i = 0; i < count; ++i)
            text += (i ? ", " : "") + V();
        return text;
    }

    std::string Step() {
        switch (in_.InRange(0, 15)) {
            case 0:
                return L() + " = __made(new ActiveXObject(" + Quoted(Pick(kClasses)) + "));";
            case 1:
            case 2:
                return V() + " = " + Value() + ";";
            case 3:
            case 4:
                return "__put(" + L() + ", " + Quoted(Pick(kExpandos)) + ", " + V() + ");";
            case 5:
                return "__cleaned(" + L() + ")[" + Quoted(Pick(kMembers)) + "] = " + V() + ";";
            case 6:
                return V() + " = " + L() + "[" + Quoted(Pick(kMembers)) + "];";
            case 7:
                return V() + " = " + L() + "[" + Quoted(Pick(kMembers)) + "](" + Arguments() + ");";
            case 8: {
                // The library keeps a function and gives it back; a window timer calls one.
                const std::string target = L();
                static constexpr const char* kCallbacks[] = {
                    "Callback", "PacketSent", "FilterPacket", "MatchesPacket", "OnFilterMatches"};
                const std::string member = Quoted(Pick(kCallbacks));
                return "__cleaned(" + target + ")[" + member + "] = __fn(" + V() +
                       "); setTimeout(" + target + "[" + member + "], 0, " + V() + ");";
            }
            case 9:
                if (in_.Bool()) return V() + " = __fn(" + V() + ")(" + Arguments() + ");";
                // What a library object keeps, or any value, called back by the library.
                return V() + " = __callFromLibrary(" + (in_.Bool() ? V() : Value()) + ", " + V() +
                       ");";
            case 10: {
                // Enumeration, of library collections and script lists alike.
                const std::string e = "new Enumerator(" + V() + ")";
                return "var __e = " + e + "; " + V() +
                       " = [__e.atEnd(), __e.item(), (__e.moveNext(), __e.item())];";
            }
            case 11:
                return "var __a = new VBArray(" + V() + "); " + V() +
                       " = [__a.dimensions(), __a.lbound(), __a.ubound(), __a.toArray()];";
            case 12: {
                const std::string target = L();
                const char* name = Pick(kExpandos);
                return in_.Bool() ? "delete " + target + "[" + Quoted(name) + "]; __forget(" +
                                        target + ", " + Quoted(name) + ");"
                                  : V() + " = [" + Quoted(name) + " in " + target +
                                        ", Object.keys(" + target + ").join(), JSON.stringify(" +
                                        target + "), String(" + target + ")];";
            }
            case 13:
                // A filter destroyed now may let go of its expandos: no longer checked.
                return "var __o = __cleaned(" + L() + "); __o.DestroyNow = " + V() +
                       "; __forgetAll(__o);";
            case 14:
                return L() + " = " + V() + ";";
            default:
                return "Duktape.gc();";
        }
    }

    FuzzInput& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool trace = std::getenv("FUZZ_TRACE") != nullptr;
    Run& run = TheRun();
    FuzzInput input(data, size);
    const std::string script = ScriptWriter(input).Write();
    if (trace) std::fprintf(stderr, "---- script\n%s\n", script.c_str());

    std::string found;
    failures = &found;
    std::unique_ptr<ScriptEngine> engine;
    ComPtr<IDispatch> global = run.site.BeginPage();
    {
        ScriptEngine::Callbacks callbacks;
        callbacks.log = [](const std::string&) {};
        callbacks.create = [&run](const std::u16string& prog_id, IDispatch** object,
                                  std::string* refusal) {
            return run.site.CreateForPage(prog_id, object, refusal);
        };
        callbacks.wake = [] {};
        callbacks.report = [](const ScriptError& error) {
            if (trace) std::fprintf(stderr, "reported: %s\n", error.Describe().c_str());
        };
        engine = std::make_unique<ScriptEngine>(std::move(callbacks));
    }
    if (global) engine->SetGlobal("Global", global.get());
    duk_context* ctx = engine->ctx();
    duk_push_c_function(ctx, Fail, 1);
    duk_put_global_string(ctx, "__fail");
    current_engine = engine.get();
    duk_push_c_function(ctx, CallFromLibrary, 2);
    duk_put_global_string(ctx, "__callFromLibrary");

    ScriptError error;
    const bool finished = engine->Run("fuzz.js", script, &error);
    if (trace && !finished) std::fprintf(stderr, "error: %s\n", error.Describe().c_str());
    // The callbacks the window timers hold, once.
    engine->RunTimers();
    engine->Run("cleanup.js", kCleanUp, &error);
    run.site.EndPage([&] { engine.reset(); });
    failures = nullptr;
    current_engine = nullptr;
    if (!found.empty()) {
        std::fprintf(stderr, "%s", found.c_str());
        FUZZ_CHECK(found.empty());
    }
    return 0;
}
