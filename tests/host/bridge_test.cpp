// The script engine bridge: library objects as script objects and script values as library
// objects, on a single-threaded apartment like the host's script thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "host/bridge_cases.h"
#include "host/script_engine.h"

using brevanto_host::ScriptEngine;
using brevanto_host::ScriptError;
using bridge_cases::CTestThing;

namespace {

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ScriptEngine::Callbacks callbacks;
        callbacks.log = [this](const std::string& text) { log_ += text + "\n"; };
        callbacks.report = [this](const ScriptError& error) { reported_.push_back(error); };
        callbacks.create = bridge_cases::Create;
        engine_ = std::make_unique<ScriptEngine>(callbacks);
    }
    void TearDown() override {
        engine_.reset();
        CoUninitialize();
    }

    // The value of an expression as text (String(value)).
    std::string Eval(const std::string& script) {
        ScriptError error;
        if (!engine_->Run("test.js", "var __out = String((function(){" + script + "})());", &error))
            return "error: " + error.Describe();
        CComVariant out;
        if (FAILED(engine_->Evaluate("__out", &out))) return "no result";
        return CComBSTR(out.bstrVal).utf8();
    }

    // What was reported, each error after a space.
    std::string Reports() {
        std::string text;
        for (const ScriptError& error : reported_)
            text += " " + error.Describe();
        return text;
    }

    std::string log_;
    std::vector<ScriptError> reported_;
    std::unique_ptr<ScriptEngine> engine_;
};

// The web engine hands member names over as NUL-terminated text: only this one keeps a NUL in a
// name, and so this case is its own.
const bridge_cases::Case kNulInAName = {
    "a NUL is part of a name: expandos keep it, and it is no typed member's name",
    "var b = new ActiveXObject('Test.Bag'); b.A = 1; b['A\\u0000x'] = 2; var k = [], r;"
    " for (var n in b) k.push(n.length);"
    " try { r = t['Value\\u0000']; } catch (e) { r = (e.number >>> 0).toString(16); }"
    " return [b.A, b['A\\u0000x'], k.join(), 'Value\\u0000' in t, r].join();",
    "1,2,1,3,false,80020006"};

TEST_F(BridgeTest, WhatEveryEngineDoesAlike) {
    for (const bridge_cases::Case& c : bridge_cases::kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Eval("return " + bridge_cases::Script(c) + ";"), c.expected);
    }
    EXPECT_EQ(Eval("return " + bridge_cases::Script(kNulInAName) + ";"), kNulInAName.expected);
    CComVariant object;
    ASSERT_EQ(engine_->Evaluate(bridge_cases::kProtocolObject, &object), S_OK);
    ASSERT_EQ(object.vt, VT_DISPATCH);
    bridge_cases::ExpectScriptObjectProtocol(object.pdispVal);
    // The same script object comes back as the same library object, and as itself to script.
    engine_->SetGlobal("held", object.pdispVal);
    CComVariant same;
    ASSERT_EQ(engine_->Evaluate("held.made === 5 && held", &same), S_OK);
    EXPECT_EQ(same.pdispVal, object.pdispVal);
    EXPECT_TRUE(reported_.empty());
}

// What an error of a script function called by the library becomes: a report (and the page goes
// on) when the library ignores it, never the end of the page (a status when the library reads a
// value, the caller's error where the library fails the call: WhatEveryEngineDoesAlike).
TEST_F(BridgeTest, ErrorsOfScriptTheLibraryCalls) {
    // A script after the line that makes `t`, and what it returns | what was reported.
    const std::pair<const char*, const char*> cases[] = {
        // The library ignores it: reported where it was thrown.
        {"t.Callback = function () {\n throw new Error('boom'); };\nt.Notify(1); return 'on';",
         "on | test.js:3: Error: boom"},
        // Calls that nest too deeply end with an error, not in the engine's limits.
        {"t.Callback = function (n) {\n t.Notify(n + 1); };\nt.Notify(0); return 'on';",
         "on | test.js:3: RangeError: calls between the page and the library nest too deeply"},
    };
    for (const auto& [script, outcome] : cases) {
        reported_.clear();
        const std::string result =
            Eval(std::string("var t = new ActiveXObject('Test.Thing');\n") + script);
        EXPECT_EQ(result + " |" + Reports(), outcome);
    }
    // Called from outside any script (a worker's event handler, a timer of the library), the
    // error is reported at once.
    reported_.clear();
    ComPtr<IDispatch> handler;
    ASSERT_EQ(Eval("handler = function () {\n  throw new Error('late'); };"), "undefined");
    ASSERT_EQ(engine_->GetGlobalObject("handler", handler.put()), S_OK);
    CComVariant ignored;
    EXPECT_EQ(CallScriptFunction(handler.get(), CComVariant(LONG{1}), &ignored), DISP_E_EXCEPTION);
    EXPECT_EQ(Reports(), " test.js:2: Error: late");
}

TEST_F(BridgeTest, ErrorsSayWhatWentWrongAndWhere) {
    // A page script and how its error is described.
    const std::pair<const char*, const char*> cases[] = {
        {"var a = 1;\nthrow null;\n", "page.js:2: null thrown (not an Error object)"},
        {"\nfunction f() {\n  throw 'text'; }\nf();",
         "page.js:3: \"text\" thrown (not an Error object)"},
        {"var e = new Error('bad argument');\ne.number = 0x80070057;\nthrow e;",
         "page.js:1: Error: bad argument (0x80070057)"},
        {"var s = 'caf\xE9';\n", "page.js:1: not UTF-8 text: byte 0xE9 at column 13"},
        {"var a = 1;\n\nnull.x;\n", "page.js:3: TypeError: cannot read property 'x' of null"},
        {"\nnew ActiveXObject('Test.Thing').Fail();",
         "page.js:2: Error: Fail: Invalid argument (0x80070057)"},
        {"var = ;", "page.js:1: SyntaxError: invalid variable declaration (line 1)"},
    };
    for (const auto& [script, described] : cases) {
        ScriptError error;
        EXPECT_FALSE(engine_->Run("page.js", script, &error)) << script;
        EXPECT_EQ(error.Describe(), described) << script;
    }
}

// The pump runs passes until no timer is left. A pass runs what was due when it began: an
// interval of 0 runs once a pass, so the host gets its turn between passes; a callback that
// throws is reported and the pass goes on. Each pass waits only as long as the pass before said,
// and nothing depends on how late a pass comes.
TEST_F(BridgeTest, WindowTimersRunFromThePump) {
    ASSERT_EQ(Eval("order = []; window.setTimeout(function () { order.push('a'); }, 0);"
                   "var runs = 0, i = setInterval(function () { order.push('i');"
                   "  if (++runs == 4) clearInterval(i); }, 0);\nsetTimeout(function () {\n"
                   "  throw new Error('t'); }, 0); setTimeout(function () { order.push('z'); }, 0);"
                   "return 'ok';"),
              "ok");
    EXPECT_EQ(engine_->RunTimers(), 0);  // the interval is due again at once
    EXPECT_EQ(Eval("return order.join('');"), "aiz");
    EXPECT_EQ(Eval("setTimeout(function () { order.push('b'); }, 5); var gone = setTimeout("
                   "function () { order.push('never'); }, 1); clearTimeout(gone); return 'ok';"),
              "ok");
    int passes = 0;
    for (int next; (next = engine_->RunTimers()) >= 0 && ++passes < 1000;)
        std::this_thread::sleep_for(std::chrono::milliseconds(next));
    ASSERT_LT(passes, 1000);
    EXPECT_EQ(Reports(), " test.js:3: Error: t");
    const std::string text = Eval("return order.join('');");
    EXPECT_EQ(text.find("never"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), 'i'), 4) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), 'b'), 1) << text;
    EXPECT_EQ(Eval("console.log('hello', 1); return 0;"), "0");
    EXPECT_EQ(log_, "hello 1\n");
}

// A worker thread reaches a script function only through the global interface table, and the
// call runs on the script thread while the worker waits.
TEST_F(BridgeTest, WorkerCallsRunOnTheScriptThread) {
    ASSERT_EQ(
        Eval("thing = new ActiveXObject('Test.Thing'), calls = 0, threads = {};"
             "handler = function (n) { calls++; threads[thing.ThreadId()] = true; return n; };"),
        "undefined");
    ComPtr<IDispatch> handler;
    ASSERT_EQ(engine_->GetGlobalObject("handler", handler.put()), S_OK);
    constexpr int kCalls = 1000;
    const auto pump = [](const std::atomic<bool>& done) {
        CoPumpUntil([&] { return done.load(); });
    };
    EXPECT_EQ(bridge_cases::EchoesFromAWorker(handler.get(), kCalls, pump), kCalls);
    EXPECT_EQ(Eval("return calls + ':' + Object.keys(threads).join();"),
              std::to_string(kCalls) + ":" +
                  std::to_string(static_cast<LONG>(brevanto::CurrentThreadId())));
}

// Library objects that die where the engine cannot run their finalizers (at its recursion
// limit) are released all the same once the heap goes; plenty of short-lived ones meanwhile
// leave a held object its one script object. A script object whose heap is gone refuses calls
// instead of touching freed memory.
TEST_F(BridgeTest, WhenTheHeapGoesLibraryObjectsAreReleasedAndScriptObjectsRefuseCalls) {
    const int before = CTestThing::alive;
    EXPECT_EQ(Eval("var kept = new ActiveXObject('Test.Thing'); kept.Callback = function (o) {"
                   "  return o; };"
                   "for (var n = 0; n < 2000; n++) new ActiveXObject('Test.Thing');"
                   "return kept.Fire(kept) === kept;"),
              "true");
    EXPECT_EQ(Eval("var o = { get x() { try { return o.x + 1; } catch (e) {"
                   "  new ActiveXObject('Test.Thing'); return 0; } } }; return o.x >= 0;"),
              "true");
    CComVariant object;
    ASSERT_EQ(engine_->Evaluate("({ a: 1 })", &object), S_OK);
    engine_.reset();
    EXPECT_EQ(CTestThing::alive, before);
    ComPtr<IDispatchEx> ex;
    ASSERT_EQ(object.pdispVal->QueryInterface(ex.put()), S_OK);
    DISPID id;
    EXPECT_EQ(ex->GetDispID(CComBSTR(u"a"), 0, &id), RPC_E_DISCONNECTED);
}

}  // namespace
