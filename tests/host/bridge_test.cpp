// The script engine bridge: library objects as script objects and script values as library
// objects, on a single-threaded apartment like the host's script thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dispatch/disp_ex_object.h"
#include "host/script_engine.h"
#include "host/script_object.h"
#include "platform/dispatcher.h"
#include "platform/enum_variant.h"
#include "platform/git_ptr.h"
#include "platform/safearray.h"
#include "platform/script_call.h"

using brevanto_host::ScriptEngine;
using brevanto_host::ScriptError;

namespace {

// A small typed object standing in for the library's classes.
struct ITestThing : IDispatch {
    static constexpr IID kIid{
        0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Value(LONG* value) = 0;
    virtual HRESULT put_Value(LONG value) = 0;
    virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;
    virtual HRESULT Fail() = 0;
    virtual HRESULT get_Item(LONG index, LONG* value) = 0;
    virtual HRESULT get__NewEnum(IUnknown** items) = 0;
    virtual HRESULT put_Callback(IDispatch* callback) = 0;
    virtual HRESULT Fire(VARIANT argument, VARIANT* result) = 0;
    virtual HRESULT get_Grid(VARIANT* grid) = 0;
    virtual HRESULT Inspect(VARIANT value, BSTR* text) = 0;
    virtual HRESULT ThreadId(LONG* id) = 0;
    virtual HRESULT Notify(VARIANT argument) = 0;

  protected:
    ~ITestThing() = default;
};

const InterfaceDesc& ITestThing::Describe() {
    using I = ITestThing;
    static const InterfaceDesc desc(u"ITestThing", kIid, nullptr,
                                    {
                                        Get<&I::get_Value>(u"Value", 1),
                                        Put<&I::put_Value>(u"Value", 1, {Arg(u"value")}),
                                        Method<&I::Add>(u"Add", 2, {Arg(u"a"), Arg(u"b")}),
                                        Method<&I::Fail>(u"Fail", 3),
                                        Get<&I::get_Item>(u"Item", 4, {Arg(u"index")}),
                                        Get<&I::get__NewEnum>(u"_NewEnum", DISPID_NEWENUM),
                                        Put<&I::put_Callback>(u"Callback", 5, {Arg(u"callback")}),
                                        Method<&I::Fire>(u"Fire", 6, {Arg(u"argument")}),
                                        Get<&I::get_Grid>(u"Grid", 7),
                                        Method<&I::Inspect>(u"Inspect", 8, {Arg(u"value")}),
                                        Method<&I::ThreadId>(u"ThreadId", 9),
                                        Method<&I::Notify>(u"Notify", 10, {Arg(u"argument")}),
                                    });
    return desc;
}

class CTestThing : public ComObjectRoot<CTestThing, DispatchImpl<ITestThing>, IMarshal> {
  public:
    static inline std::atomic<int> alive{0};
    CTestThing() { ++alive; }
    ~CTestThing() { --alive; }

    HRESULT get_Value(LONG* value) override {
        *value = value_;
        return S_OK;
    }
    HRESULT put_Value(LONG value) override {
        value_ = value;
        return S_OK;
    }
    HRESULT Add(LONG a, LONG b, LONG* sum) override {
        *sum = a + b;
        return S_OK;
    }
    HRESULT Fail() override { return E_INVALIDARG; }
    HRESULT get_Item(LONG index, LONG* value) override {
        *value = index * 10;
        return S_OK;
    }
    HRESULT get__NewEnum(IUnknown** items) override {
        auto values = std::make_shared<std::vector<CComVariant>>();
        for (LONG i = 1; i <= 3; ++i)
            values->emplace_back(i);
        IEnumVARIANT* e = nullptr;
        HRESULT hr = CEnumVariantValues::Create(values, &e);
        *items = e;
        return hr;
    }
    HRESULT put_Callback(IDispatch* callback) override {
        callback_ = callback;
        return S_OK;
    }
    HRESULT Fire(VARIANT argument, VARIANT* result) override {
        return CallScriptFunction(callback_.get(), argument, result);
    }
    HRESULT get_Grid(VARIANT* grid) override {
        // 2 x 3, lower bounds 1 and 0; element (i, j) = 10 * i + j.
        SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, 0}};
        SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
        for (LONG i = 1; i <= 2; ++i)
            for (LONG j = 0; j <= 2; ++j) {
                LONG index[2] = {i, j};
                LONG value = 10 * i + j;
                SafeArrayPutElement(array, index, &value);
            }
        grid->vt = VT_ARRAY | VT_I4;
        grid->parray = array;
        return S_OK;
    }
    // Describes a script value the way library code sees it.
    HRESULT Inspect(VARIANT value, BSTR* text) override {
        std::string out = "vt=" + std::to_string(value.vt);
        if (value.vt == VT_DISPATCH) {
            ComPtr<IDispatchEx> ex;
            value.pdispVal->QueryInterface(ex.put());
            out += ex ? " ex" : "";
            CComVariant length;
            if (SUCCEEDED(ReadScriptProperty(value.pdispVal, u"length", &length)) &&
                SUCCEEDED(length.ChangeType(VT_I4)))
                out += " length=" + std::to_string(length.lVal);
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            CComVariant items;
            if (SUCCEEDED(value.pdispVal->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                                 &none, &items, nullptr, nullptr))) {
                ComPtr<IEnumVARIANT> e;
                items.punkVal->QueryInterface(e.put());
                CComVariant item;
                LONG sum = 0;
                while (e->Next(1, &item, nullptr) == S_OK) {
                    item.ChangeType(VT_I4);
                    sum += item.lVal;
                    item.Clear();
                }
                out += " sum=" + std::to_string(sum);
            }
            LPOLESTR name[] = {const_cast<LPOLESTR>(u"getFullYear")};
            DISPID id;
            CComVariant year;
            if (SUCCEEDED(value.pdispVal->GetIDsOfNames(IID_NULL, name, 1, 0, &id)) &&
                SUCCEEDED(value.pdispVal->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &year,
                                                 nullptr, nullptr)) &&
                SUCCEEDED(year.ChangeType(VT_I4)))
                out += " year=" + std::to_string(year.lVal);
        } else if (value.vt == VT_ERROR) {
            out += value.scode == DISP_E_PARAMNOTFOUND ? " missing" : " error";
        }
        *text = SysAllocString(Utf8ToUtf16(out).c_str());
        return S_OK;
    }
    HRESULT ThreadId(LONG* id) override {
        *id = static_cast<LONG>(brevanto::CurrentThreadId());
        return S_OK;
    }
    // Calls the callback as a notification whose outcome nobody looks at.
    HRESULT Notify(VARIANT argument) override {
        CComVariant ignored;
        CallScriptFunction(callback_.get(), argument, &ignored);
        return S_OK;
    }

  private:
    LONG value_ = 0;
    ComPtr<IDispatch> callback_;
};

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ScriptEngine::Callbacks callbacks;
        callbacks.log = [this](const std::string& text) { log_ += text + "\n"; };
        callbacks.report = [this](const ScriptError& error) { reported_.push_back(error); };
        callbacks.create = [](const std::u16string& name, IDispatch** out,
                              std::string*) -> HRESULT {
            if (name == u"Test.Thing") {
                ComPtr<CTestThing> thing;
                HRESULT hr = MakeComObject(&thing);
                if (SUCCEEDED(hr)) *out = static_cast<ITestThing*>(thing.Detach());
                return hr;
            }
            if (name == u"Test.Bag") {
                ComPtr<CDispExObject> bag;
                HRESULT hr = CDispExObject::Create(&bag);
                if (SUCCEEDED(hr)) *out = static_cast<IDispatchEx*>(bag.Detach());
                return hr;
            }
            return CO_E_CLASSSTRING;
        };
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

    std::string log_;
    std::vector<ScriptError> reported_;
    std::unique_ptr<ScriptEngine> engine_;
};

TEST_F(BridgeTest, PropertiesMethodsAndIndexedGets) {
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); t.Value = 5;"
                   "return t.Value + t.Add(2, 3) + t.Item(4);"),
              "50");
    // A method read as a value stays callable, and carries its object.
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); var add = t.Add; return add(1, 1);"),
              "2");
    // Names are looked up without regard to case, as the page environment does.
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); t.value = 9; return t.VALUE;"), "9");
}

TEST_F(BridgeTest, FailingCallsThrowTheirStatusCode) {
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing');"
                   "try { t.Fail(); return 'no throw'; } catch (e) { return e.number >>> 0; }"),
              std::to_string(0x80070057u));
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing');"
                   "try { t.Add('x', 1); return 'no throw'; } catch (e) {"
                   "  return (e.number >>> 0) === 0x80020005 && e instanceof Error; }"),
              "true");
    const std::string unknown =
        Eval("try { new ActiveXObject('No.Such.Class'); } catch (e) { return e.message; }");
    EXPECT_NE(unknown.find("No.Such.Class"), std::string::npos) << unknown;
    // Objects that take no expando members refuse unknown names; expando objects read them as
    // undefined.
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing');"
                   "try { t.Missing(); } catch (e) { return e.number >>> 0; }"),
              std::to_string(0x80020006u));
    EXPECT_EQ(Eval("return typeof new ActiveXObject('Test.Bag').Missing;"), "undefined");
}

TEST_F(BridgeTest, ExpandoMembersAndForIn) {
    EXPECT_EQ(Eval("var b = new ActiveXObject('Test.Bag'); b.Foo = 3; b.Bar = 'x';"
                   "var k = []; for (var n in b) k.push(n + '=' + b[n]);"
                   "delete b.Foo; var after = []; for (var m in b) after.push(m);"
                   "return k.join() + '|' + after.join() + '|' + ('Bar' in b);"),
              "Foo=3,Bar=x|Bar|true");
}

TEST_F(BridgeTest, EnumeratorAndVBArray) {
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); var s = [];"
                   "for (var e = new Enumerator(t); !e.atEnd(); e.moveNext()) s.push(e.item());"
                   "e.moveFirst(); s.push(e.item()); return s.join();"),
              "1,2,3,1");
    EXPECT_EQ(Eval("var a = new VBArray(new ActiveXObject('Test.Thing').Grid);"
                   "return [a.dimensions(), a.lbound(1), a.ubound(1), a.lbound(2), a.ubound(2),"
                   "        a.getItem(2, 1), a.toArray().length].join();"),
              "2,1,2,0,2,21,6");
    EXPECT_EQ(Eval("var a = new VBArray(new ActiveXObject('Test.Thing').Grid);"
                   "try { a.getItem(3, 0); } catch (e) { return e.name; }"),
              "RangeError");
}

TEST_F(BridgeTest, ScriptValuesReachTheLibraryAsThePlatformPassesThem) {
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing');"
                   "return [t.Inspect(1), t.Inspect(1.5), t.Inspect('s'), t.Inspect(true),"
                   "        t.Inspect(null), t.Inspect(undefined)].join('|');"),
              "vt=3|vt=5|vt=8|vt=11|vt=1|vt=10 missing");
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); return t.Inspect([4, 5, 6]);"),
              "vt=9 ex length=3 sum=15");
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing');"
                   "return t.Inspect(new Date(2024, 5, 1));"),
              "vt=9 ex year=2024");
    // A library object handed back arrives as itself.
    EXPECT_EQ(
        Eval("var t = new ActiveXObject('Test.Thing'); var u = new ActiveXObject('Test.Thing');"
             "u.Value = 41; t.Callback = function (o) { return o.Value + 1; };"
             "return t.Fire(u);"),
        "42");
}

TEST_F(BridgeTest, LibraryCallsScriptFunctions) {
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); var seen;"
                   "t.Callback = function (x) { seen = x; return x * 2; };"
                   "return t.Fire(21) + ':' + seen;"),
              "42:21");
    // A library object handed to script twice is the same script object.
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing'); t.Callback = function (o) {"
                   "  return o; }; var u = t.Fire(t); u.Value = 7;"
                   "return (u === t) + ':' + t.Value;"),
              "true:7");
}

// What an error of a script function called by the library becomes: the library's status when
// it fails the call it was made in, a report (and the page goes on) when the library ignores
// it, never the end of the page.
TEST_F(BridgeTest, ErrorsOfScriptTheLibraryCalls) {
    struct Case {
        const char* name;
        const char* script;
        const char* result;
        int reported_line;  // 0: nothing reported
    };
    const Case cases[] = {
        {"the library fails the call: the caller catches it",
         "var t = new ActiveXObject('Test.Thing');\n"
         "t.Callback = function () {\n throw new Error('boom'); };\n"
         "try { t.Fire(1); } catch (e) { return 'caught'; }",
         "caught", 0},
        {"the library ignores it: reported where it was thrown",
         "var t = new ActiveXObject('Test.Thing');\n"
         "t.Callback = function () {\n throw new Error('boom'); };\n"
         "t.Notify(1); return 'went on';",
         "went on", 3},
        {"a getter the library reads: a status only",
         "var t = new ActiveXObject('Test.Thing');\n"
         "return t.Inspect({ get length() { throw new Error('boom'); } });",
         "vt=9 ex", 0},
        {"a conversion the library asks for: a status only",
         "var t = new ActiveXObject('Test.Thing');\n"
         "var bad = { toString: function () { throw new Error('boom'); },\n"
         "            valueOf: function () { throw new Error('boom'); } };\n"
         "try { t.Add(bad, 1); return 'no throw'; } catch (e) { return 'caught'; }",
         "caught", 0},
        {"calls that nest too deeply end with an error, not in the engine's limits",
         "var t = new ActiveXObject('Test.Thing');\n"
         "t.Callback = function (n) {\n t.Notify(n + 1); };\n"
         "t.Notify(0); return 'went on';",
         "went on", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reported_.clear();
        EXPECT_EQ(Eval(c.script), c.result);
        if (c.reported_line == 0) {
            EXPECT_TRUE(reported_.empty()) << reported_.front().Describe();
            continue;
        }
        ASSERT_EQ(reported_.size(), 1u);
        EXPECT_EQ(reported_[0].file, "test.js") << reported_[0].Describe();
        EXPECT_EQ(reported_[0].line, c.reported_line) << reported_[0].Describe();
    }
    EXPECT_NE(reported_.back().message.find("nest too deeply"), std::string::npos)
        << reported_.back().Describe();
    // Called from outside any script (a worker's event handler, a timer of the library), the
    // error is reported at once.
    reported_.clear();
    ComPtr<IDispatch> handler;
    ScriptError error;
    ASSERT_TRUE(
        engine_->Run("handler.js", "function handler() {\n  throw new Error('late'); }", &error));
    ASSERT_EQ(engine_->GetGlobalObject("handler", handler.put()), S_OK);
    CComVariant ignored;
    EXPECT_EQ(CallScriptFunction(handler.get(), CComVariant(LONG{1}), &ignored), DISP_E_EXCEPTION);
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0].Describe(), "handler.js:2: Error: late");
}

TEST_F(BridgeTest, ErrorsSayWhatWentWrongAndWhere) {
    struct Case {
        const char* script;
        const char* described;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        ScriptError error;
        EXPECT_FALSE(engine_->Run("page.js", c.script, &error)) << c.script;
        EXPECT_EQ(error.Describe(), c.described) << c.script;
    }
}

TEST_F(BridgeTest, ScriptObjectsAsTheLibrarySeesThem) {
    CComVariant object;
    ASSERT_EQ(engine_->Evaluate("({ n: 1, add: function (x) { return this.n + x; } })", &object),
              S_OK);
    ASSERT_EQ(object.vt, VT_DISPATCH);
    ComPtr<IDispatchEx> ex;
    ASSERT_EQ(object.pdispVal->QueryInterface(ex.put()), S_OK);
    DISPID add = 0, missing = 0, made = 0;
    EXPECT_EQ(ex->GetDispID(CComBSTR(u"add"), 0, &add), S_OK);
    EXPECT_EQ(ex->GetDispID(CComBSTR(u"nothing"), 0, &missing), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ex->GetDispID(CComBSTR(u"made"), fdexNameEnsure, &made), S_OK);
    CComVariant five(LONG{5});
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS put_params{&five, &put, 1, 1};
    EXPECT_EQ(ex->InvokeEx(made, 0, DISPATCH_PROPERTYPUT, &put_params, nullptr, nullptr, nullptr),
              S_OK);
    CComVariant arg(LONG{2}), result;
    DISPPARAMS call{&arg, nullptr, 1, 0};
    EXPECT_EQ(ex->InvokeEx(add, 0, DISPATCH_METHOD, &call, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 3);
    // Enumeration walks the own members, the new one included.
    std::vector<std::string> names;
    DISPID id = DISPID_STARTENUM;
    while (ex->GetNextDispID(fdexEnumAll, id, &id) == S_OK) {
        CComBSTR name;
        ex->GetMemberName(id, &name);
        names.push_back(name.utf8());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"n", "add", "made"}));
    // The same script object comes back as the same library object, and as itself to script.
    engine_->SetGlobal("held", object.pdispVal);
    CComVariant same;
    ASSERT_EQ(engine_->Evaluate("held.made === 5 && held", &same), S_OK);
    EXPECT_EQ(same.pdispVal, object.pdispVal);
}

// The pump runs passes until no timer is left; each pass waits only as long as the pass before
// said, and nothing depends on how late a pass comes.
TEST_F(BridgeTest, WindowTimersRunFromThePump) {
    EXPECT_EQ(Eval("order = []; window.setTimeout(function () { order.push('a'); }, 0);"
                   "setTimeout(function () { order.push('b'); }, 5); var runs = 0;"
                   "var i = setInterval(function () { order.push('i'); if (++runs == 4)"
                   "  clearInterval(i); }, 1); var gone = setTimeout(function () {"
                   "  order.push('never'); }, 1); clearTimeout(gone); return 'ok';"),
              "ok");
    int passes = 0;
    for (int next; (next = engine_->RunTimers()) >= 0 && ++passes < 1000;)
        std::this_thread::sleep_for(std::chrono::milliseconds(next));
    ASSERT_LT(passes, 1000);
    EXPECT_TRUE(reported_.empty());
    CComVariant order;
    ASSERT_EQ(engine_->Evaluate("order.join('')", &order), S_OK);
    std::string text = CComBSTR(order.bstrVal).utf8();
    EXPECT_EQ(text.find("never"), std::string::npos);
    // The zero-delay timer, due before every other, comes first; the interval ran until it
    // cleared itself.
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text[0], 'a') << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), 'i'), 4) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), 'b'), 1) << text;
    EXPECT_EQ(Eval("console.log('hello', 1); return 0;"), "0");
    EXPECT_EQ(log_, "hello 1\n");
}

// A pass runs what was due when it began: an interval of 0 runs once a pass, so the host gets
// its turn between passes; a callback that throws is reported and the pass goes on.
TEST_F(BridgeTest, TimerPassesEndAndSurviveErrors) {
    ASSERT_EQ(Eval("ticks = 0; setInterval(function () { ticks++; }, 0);\n"
                   "setTimeout(function () {\n  throw new Error('timer'); }, 0);\n"
                   "setTimeout(function () { after = true; }, 0); return 'ok';"),
              "ok");
    EXPECT_EQ(engine_->RunTimers(), 0);  // the interval is due again at once
    EXPECT_EQ(engine_->RunTimers(), 0);
    CComVariant state;
    ASSERT_EQ(engine_->Evaluate("ticks + ':' + after", &state), S_OK);
    EXPECT_EQ(CComBSTR(state.bstrVal).utf8(), "2:true");
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0].Describe(), "test.js:3: Error: timer");
}

// A worker thread reaches a script function only through the global interface table, and the
// call runs on the script thread while the worker waits.
TEST_F(BridgeTest, WorkerCallsRunOnTheScriptThread) {
    ScriptError error;
    ASSERT_TRUE(engine_->Run("worker.js",
                             "var thing = new ActiveXObject('Test.Thing'), calls = 0, threads = {};"
                             "function handler(n) { calls++; threads[thing.ThreadId()] = true;"
                             "  return n; }",
                             &error))
        << error.Describe();
    ComPtr<IDispatch> handler;
    ASSERT_EQ(engine_->GetGlobalObject("handler", handler.put()), S_OK);
    CComGITPtr2<IDispatch> shared(handler.get());
    constexpr int kCalls = 1000;
    std::atomic<int> succeeded{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ComPtr<IDispatch> fn = shared.Get();
        for (int i = 0; fn && i < kCalls; ++i) {
            CComVariant result;
            if (SUCCEEDED(CallScriptFunction(fn.get(), CComVariant(LONG{i}), &result)) &&
                result.vt == VT_I4 && result.lVal == i)
                ++succeeded;
        }
        fn = nullptr;
        CoUninitialize();
        done = true;
        CoPostQuit(0);
    });
    unsigned long script_thread = brevanto::CurrentThreadId();
    // Pump until the worker is finished (it posts a quit once it is).
    while (!done)
        CoPumpMessages(100);
    worker.join();
    EXPECT_EQ(succeeded.load(), kCalls);
    CComVariant summary;
    ASSERT_EQ(engine_->Evaluate("calls + ':' + Object.keys(threads).join()", &summary), S_OK);
    EXPECT_EQ(CComBSTR(summary.bstrVal).utf8(),
              std::to_string(kCalls) + ":" + std::to_string(static_cast<LONG>(script_thread)));
}

// Library objects that die where the engine cannot run their finalizers (at its recursion
// limit) are released all the same once the heap goes; plenty of short-lived ones meanwhile
// leave a held object its one script object.
TEST_F(BridgeTest, LibraryObjectsAreReleasedWhereverTheyDie) {
    const int before = CTestThing::alive;
    EXPECT_EQ(Eval("var kept = new ActiveXObject('Test.Thing'); kept.Callback = function (o) {"
                   "  return o; };"
                   "for (var n = 0; n < 2000; n++) new ActiveXObject('Test.Thing');"
                   "return kept.Fire(kept) === kept;"),
              "true");
    EXPECT_EQ(Eval("var o = { get x() { try { return o.x + 1; } catch (e) {"
                   "  new ActiveXObject('Test.Thing'); return 0; } } }; return o.x >= 0;"),
              "true");
    engine_.reset();
    EXPECT_EQ(CTestThing::alive, before);
}

// Once its heap is gone a script object refuses calls instead of touching freed memory.
TEST_F(BridgeTest, ScriptObjectsOutliveTheirHeapSafely) {
    CComVariant object;
    ASSERT_EQ(engine_->Evaluate("({ a: 1 })", &object), S_OK);
    engine_.reset();
    ComPtr<IDispatchEx> ex;
    ASSERT_EQ(object.pdispVal->QueryInterface(ex.put()), S_OK);
    DISPID id;
    EXPECT_EQ(ex->GetDispID(CComBSTR(u"a"), 0, &id), RPC_E_DISCONNECTED);
}

}  // namespace
