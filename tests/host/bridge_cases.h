// What every engine's bridge must do alike, as a table of page script texts and what they give,
// with the small library classes they use. Each engine's bridge test runs the table.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/disp_ex_object.h"
#include "platform/apartment.h"
#include "platform/dispatcher.h"
#include "platform/enum_variant.h"
#include "platform/git_ptr.h"
#include "platform/safearray.h"
#include "platform/script_call.h"

namespace bridge_cases {

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

inline const InterfaceDesc& ITestThing::Describe() {
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

    // A negative value reads as a failure, as a packet's absent header field does.
    HRESULT get_Value(LONG* value) override {
        *value = value_;
        return value_ < 0 ? E_INVALIDARG : S_OK;
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
    // Describes a script value the way library code sees it ("held": the object is the
    // callback this object holds).
    HRESULT Inspect(VARIANT value, BSTR* text) override {
        std::string out = "vt=" + std::to_string(value.vt);
        if (value.vt == VT_DISPATCH && callback_) {
            ComPtr<IUnknown> seen, held;
            value.pdispVal->QueryInterface(IID_IUnknown, seen.put_void());
            callback_->QueryInterface(IID_IUnknown, held.put_void());
            if (seen.get() == held.get()) out += " held";
        }
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
            if (ex &&
                SUCCEEDED(value.pdispVal->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_PROPERTYGET,
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
            if (ex && SUCCEEDED(value.pdispVal->GetIDsOfNames(IID_NULL, name, 1, 0, &id)) &&
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

// `new ActiveXObject(name)` in the tests: Test.Thing, Test.Bag (an expando object), and
// Test.Refused, which the host refuses with a reason.
inline HRESULT Create(const std::u16string& name, IDispatch** out, std::string* refusal) {
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
    if (name == u"Test.Refused") {
        *refusal = "refused for the test";
        return E_ACCESSDENIED;
    }
    return CO_E_CLASSSTRING;
}

struct Case {
    const char* name;
    const char* body;      // a function body; `t` is a fresh Test.Thing
    const char* expected;  // String() of what it returns
};

// The script around a case: its value as text, or "throws: " and the error's message.
inline std::string Script(const Case& c) {
    return std::string(
               "(function () { try { return String((function () {"
               " var t = new ActiveXObject('Test.Thing');\n") +
           c.body + "\n})()); } catch (e) { return 'throws: ' + e.message; } })()";
}

inline const Case kCases[] = {
    // Members are late-bound calls.
    {"properties, methods and indexed gets",
     "t.Value = 5; return t.Value + t.Add(2, 3) + t.Item(4);", "50"},
    {"a method read as a value stays callable", "var add = t.Add; return add(1, 1);", "2"},
    {"names regardless of case", "t.value = 9; return t.VALUE;", "9"},
    {"a method reads as a function", "return typeof t.Add;", "function"},
    // Objects without expandos may be function objects: script can call them (their default
    // member).
    {"which library objects script can call",
     "var b = new ActiveXObject('Test.Bag'); var s = typeof t + ' ' + typeof b;"
     "try { t(); } catch (e) { return s + ' ' + (e.number >>> 0).toString(16); }",
     "function object 80020003"},
    {"`in` asks the object, without reading the member",
     "t.Value = -1; return ['Value' in t, 'Missing' in t, 'toString' in t].join();",
     "true,false,true"},
    {"every library object reads as the same text, callable or not",
     "return String(t) + ' ' + (new ActiveXObject('Test.Bag') + '');",
     "[object Object] [object Object]"},
    // Failures are errors carrying the status.
    {"a failed call", "try { t.Fail(); } catch (e) { return (e.number >>> 0).toString(16); }",
     "80070057"},
    {"an argument of the wrong type",
     "try { t.Add('x', 1); } catch (e) { return (e.number >>> 0).toString(16) + ' ' +"
     " (e instanceof Error); }",
     "80020005 true"},
    {"an unknown member of a typed object",
     "try { t.Missing(); } catch (e) { return (e.number >>> 0).toString(16); }", "80020006"},
    {"an unknown member of an expando object",
     "return typeof new ActiveXObject('Test.Bag').Missing;", "undefined"},
    {"an unknown class",
     "try { new ActiveXObject('No.Such.Class'); } catch (e) {"
     " return e.message.indexOf('No.Such.Class') >= 0; }",
     "true"},
    {"a refused class says why",
     "try { new ActiveXObject('Test.Refused'); } catch (e) {"
     " return e.message.indexOf('refused for the test') === 0; }",
     "true"},
    // Expando members, for-in and delete.
    {"expando members",
     "var b = new ActiveXObject('Test.Bag'); b.Foo = 3; b.Bar = 'x';"
     "var k = []; for (var n in b) k.push(n + '=' + b[n]);"
     "delete b.Foo; var after = []; for (var m in b) after.push(m);"
     "return k.join() + '|' + after.join() + '|' + ('Bar' in b);",
     "Foo=3,Bar=x|Bar|true"},
    {"names beyond the first plane are members of their own",
     "var b = new ActiveXObject('Test.Bag'); b['\\uD83D\\uDE00'] = 1; b['\\uD83D\\uDE01'] = 2;"
     " var k = []; for (var n in b) k.push(n === '\\uD83D\\uDE00' || n === '\\uD83D\\uDE01');"
     " return [b['\\uD83D\\uDE00'], b['\\uD83D\\uDE01'], k.join()].join();",
     "1,2,true,true"},
    {"what the engine asks of every object adds no members to it",
     "var b = new ActiveXObject('Test.Bag'); b.A = 1;"
     "var seen = [JSON.stringify(b), typeof String(b), 'then' in b, typeof b.valueOf];"
     "var k = []; for (var n in b) k.push(n); return seen.join() + '|' + k.join();",
     "{\"A\":1},string,false,function|A"},
    // Enumerator and VBArray.
    {"Enumerator over a collection",
     "var s = []; for (var e = new Enumerator(t); !e.atEnd(); e.moveNext()) s.push(e.item());"
     "e.moveFirst(); s.push(e.item()); return s.join();",
     "1,2,3,1"},
    {"Enumerator over a script array",
     "var s = []; for (var e = new Enumerator([4, 5]); !e.atEnd(); e.moveNext()) s.push(e.item());"
     "return s.join();",
     "4,5"},
    {"VBArray of a two-dimensional array",
     "var a = new VBArray(t.Grid); return [a.dimensions(), a.lbound(1), a.ubound(1),"
     " a.lbound(2), a.ubound(2), a.getItem(2, 1), a.toArray().length].join();",
     "2,1,2,0,2,21,6"},
    {"VBArray out of range",
     "var a = new VBArray(t.Grid); try { a.getItem(3, 0); } catch (e) {"
     " return e.name; }",
     "RangeError"},
    {"VBArray of what is no array",
     "try { new VBArray({}); } catch (e) { return (e.number >>> 0).toString(16); }", "80020005"},
    // Script values as the library receives them.
    {"numbers, text, booleans, null, a missing argument",
     "return [t.Inspect(1), t.Inspect(1.5), t.Inspect('s'), t.Inspect(true), t.Inspect(null),"
     " t.Inspect(undefined)].join('|');",
     "vt=3|vt=5|vt=8|vt=11|vt=1|vt=10 missing"},
    {"text beyond the first plane reaches the library and comes back as itself",
     "var s = 'a\\uD83D\\uDE00', b = new ActiveXObject('Test.Bag'); b.T = s;"
     " return [b.T === s, b.T.length, b.T.charCodeAt(2).toString(16)].join();",
     "true,3,de00"},
    {"a script array", "return t.Inspect([4, 5, 6]);", "vt=9 ex length=3 sum=15"},
    {"a script object", "return t.Inspect({});", "vt=9 ex"},
    {"a list longer than a snapshot takes has no enumerator",
     "return t.Inspect({length: Infinity});", "vt=9 ex"},
    {"a script object the library holds is the same object to it again",
     "var o = {}; t.Callback = o; return t.Inspect(o);", "vt=9 held ex"},
    {"a date", "return t.Inspect(new Date(2024, 5, 1));", "vt=9 ex year=2024"},
    {"a library object", "return t.Inspect(t);", "vt=9"},
    {"a safe array, as it came", "return t.Inspect(t.Grid);", "vt=8195"},
    // The library calls script functions.
    {"a callback's result and argument",
     "var seen; t.Callback = function (x) { seen = x; return x * 2; };"
     "return t.Fire(21) + ':' + seen;",
     "42:21"},
    {"a library object handed back arrives as itself",
     "var u = new ActiveXObject('Test.Thing'); u.Value = 41;"
     "t.Callback = function (o) { return o.Value + 1; }; return t.Fire(u);",
     "42"},
    {"one script object per library object",
     "t.Callback = function (o) { return o; }; var u = t.Fire(t); u.Value = 7;"
     "return (u === t) + ':' + t.Value;",
     "true:7"},
    // Errors of script the library calls to read a value, which the library sees as a status.
    {"a getter that throws fails only the library's read of it",
     "return t.Inspect({ get length() { throw new Error('boom'); } });", "vt=9 ex"},
    {"a conversion that throws fails the library's call",
     "var bad = { toString: function () { throw new Error('boom'); },"
     " valueOf: function () { throw new Error('boom'); } };"
     "try { t.Add(bad, 1); return 'no throw'; } catch (e) { return 'caught'; }",
     "caught"},
    {"a callback's error the library fails with is the caller's",
     "t.Callback = function () { throw new Error('boom'); };"
     "try { t.Fire(1); return 'no error'; } catch (e) { return 'caught'; }",
     "caught"},
};

// A script object as the library sees it through IDispatchEx: names to DISPIDs (known, unknown,
// ensured), a put and a method call by DISPID, and enumeration of its own members.
inline constexpr const char* kProtocolObject =
    "({ n: 1, add: function (x) { return this.n + x; } })";

inline void ExpectScriptObjectProtocol(IDispatch* object) {
    ComPtr<IDispatchEx> ex;
    ASSERT_EQ(object->QueryInterface(ex.put()), S_OK);
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
}

// Calls the script function `handler` with 0, 1, ... `calls` times from a worker thread, which
// reaches it only through the global interface table, while `pump(done)` runs this (the script)
// thread's loop until `done` holds. How many calls gave their argument back.
template <class Pump>
int EchoesFromAWorker(IDispatch* handler, int calls, Pump pump) {
    CComGITPtr2<IDispatch> shared(handler);
    std::atomic<int> echoed{0};
    std::atomic<bool> done{false};
    const unsigned long script_thread = brevanto::CurrentThreadId();
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ComPtr<IDispatch> fn = shared.Get();
        for (int i = 0; fn && i < calls; ++i) {
            CComVariant result;
            if (SUCCEEDED(CallScriptFunction(fn.get(), CComVariant(LONG{i}), &result)) &&
                result.vt == VT_I4 && result.lVal == i)
                ++echoed;
        }
        fn = nullptr;
        CoUninitialize();
        done = true;
        CoPostToApartment(script_thread, [] {});  // wakes the loop to see it
    });
    pump(done);
    worker.join();
    return echoed;
}

}  // namespace bridge_cases
