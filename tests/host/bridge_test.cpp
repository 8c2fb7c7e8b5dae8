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
                                    });
    return desc;
}

class CTestThing : public ComObjectRoot<CTestThing, DispatchImpl<ITestThing>, IMarshal> {
  public:
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
        callbacks.create = [](const std::u16string& name, IDispatch** out) -> HRESULT {
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
    // An error thrown by a callback comes back to the caller as an exception and is kept as an
    // uncaught error of the page.
    EXPECT_EQ(Eval("var t = new ActiveXObject('Test.Thing');\n"
                   "t.Callback = function () {\n throw new Error('boom'); };\n"
                   "try { t.Fire(1); } catch (e) { return 'caught'; }"),
              "caught");
    auto error = engine_->TakeCallbackError();
    ASSERT_TRUE(error.has_value());
    SCOPED_TRACE(error->Describe());
    EXPECT_NE(error->message.find("boom"), std::string::npos);
    EXPECT_EQ(error->file, "test.js");
    EXPECT_EQ(error->line, 3);
}

TEST_F(BridgeTest, UncaughtErrorsNameFileAndLine) {
    ScriptError error;
    EXPECT_FALSE(engine_->Run("page.js", "var a = 1;\nvar b = 2;\nnull.x;\n", &error));
    EXPECT_EQ(error.file, "page.js");
    EXPECT_EQ(error.line, 3);
    EXPECT_FALSE(engine_->Run("bad.js", "var = ;", &error));
    EXPECT_NE(error.Describe().find("SyntaxError"), std::string::npos) << error.Describe();
    // A library failure that nobody catches keeps its status code.
    EXPECT_FALSE(engine_->Run("fail.js", "\nnew ActiveXObject('Test.Thing').Fail();", &error));
    EXPECT_EQ(static_cast<unsigned>(error.number), 0x80070057u);
    EXPECT_EQ(error.line, 2);
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

TEST_F(BridgeTest, WindowTimersRunFromThePump) {
    EXPECT_EQ(Eval("order = []; setTimeout(function () { order.push('b'); }, 5);"
                   "window.setTimeout(function () { order.push('a'); }, 0);"
                   "var n = 0; var i = setInterval(function () { order.push('i');"
                   "  if (++n === 4) clearInterval(i); }, 1); var gone = setTimeout(function () {"
                   "  order.push('never'); }, 1); clearTimeout(gone); return 'ok';"),
              "ok");
    ScriptError error;
    for (int round = 0; round < 200; ++round) {
        int next = engine_->RunTimers(&error);
        ASSERT_NE(next, -2) << error.Describe();
        if (next < 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(next));
    }
    CComVariant order;
    ASSERT_EQ(engine_->Evaluate("order.join('')", &order), S_OK);
    std::string text = CComBSTR(order.bstrVal).utf8();
    EXPECT_EQ(text.find("never"), std::string::npos);
    // The zero-delay timer comes first; the interval ran until it cleared itself.
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text[0], 'a') << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), 'i'), 4) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), 'b'), 1) << text;
    EXPECT_EQ(Eval("console.log('hello', 1); return 0;"), "0");
    EXPECT_EQ(log_, "hello 1\n");
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
