// The JavaScriptCore bridge on a plain script context (no web page): library objects as
// script objects, script values as library objects, errors both ways, and the page's
// single-threaded apartment pumped by the GLib main loop.
#include "panel/extension/jsc_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "panel/extension/apartment_source.h"
#include "platform/dispatcher.h"
#include "platform/enum_variant.h"
#include "platform/git_ptr.h"
#include "platform/safearray.h"
#include "platform/script_call.h"

using brevanto_panel::JscBridge;
using brevanto_panel::PageServices;
using brevanto_panel::ScriptError;

namespace {

// A small typed object standing in for the library's classes.
struct IPanelThing : IDispatch {
    static constexpr IID kIid{
        0x5e1f0c2a, 0x7d44, 0x4b0e, {0x8a, 0x31, 0x2c, 0x9e, 0x64, 0x10, 0xb7, 0x02}};
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
    virtual HRESULT Kind(VARIANT value, BSTR* text) = 0;

  protected:
    ~IPanelThing() = default;
};

const InterfaceDesc& IPanelThing::Describe() {
    using I = IPanelThing;
    static const InterfaceDesc desc(u"IPanelThing", kIid, nullptr,
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
                                        Method<&I::Kind>(u"Kind", 8, {Arg(u"value")}),
                                    });
    return desc;
}

class CPanelThing : public ComObjectRoot<CPanelThing, DispatchImpl<IPanelThing>> {
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
    // The variant type a script value arrives as, and for objects whether they take expandos.
    HRESULT Kind(VARIANT value, BSTR* text) override {
        std::string out = std::to_string(value.vt);
        if (value.vt == VT_DISPATCH) {
            ComPtr<IDispatchEx> ex;
            value.pdispVal->QueryInterface(ex.put());
            if (ex) out += " ex";
        }
        *text = SysAllocString(Utf8ToUtf16(out).c_str());
        return S_OK;
    }

  private:
    LONG value_ = 0;
    ComPtr<IDispatch> callback_;
};

class JscBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        context_ = jsc_context_new();
        PageServices services;
        services.create = [](const std::u16string& name, IDispatch** out, std::string* refusal) {
            if (name != u"Panel.Thing") {
                *refusal = "no such class";
                return REGDB_E_CLASSNOTREG;
            }
            ComPtr<CPanelThing> thing;
            HRESULT hr = MakeComObject(&thing);
            *out = thing.Detach();
            return hr;
        };
        services.log = [this](const std::string& text) { log_ += text + "\n"; };
        services.report = [this](const ScriptError& error, bool) {
            reported_.push_back(error.Describe());
        };
        bridge_ = JscBridge::Install(context_, std::move(services));
        ComPtr<CPanelThing> thing;
        ASSERT_TRUE(SUCCEEDED(MakeComObject(&thing)));
        CComVariant value(static_cast<IDispatch*>(thing.get()));
        bridge_->SetGlobal("thing", value);
    }
    void TearDown() override {
        bridge_->End();
        g_object_unref(context_);
        CoUninitialize();
    }

    // The script's value as text, or "throws: <message> <number in hex>".
    std::string Run(const std::string& script) {
        JSCValue* value = jsc_context_evaluate(context_, script.c_str(), -1);
        std::string out;
        if (JSCException* exception = jsc_context_get_exception(context_)) {
            out = std::string("throws: ") + jsc_exception_get_message(exception);
            jsc_context_clear_exception(context_);
        } else {
            char* text = jsc_value_to_string(value);
            out = text;
            g_free(text);
        }
        g_object_unref(value);
        return out;
    }

    JSCContext* context_ = nullptr;
    JscBridge* bridge_ = nullptr;
    std::string log_;
    std::vector<std::string> reported_;
};

TEST_F(JscBridgeTest, LibraryMembersAreLateBoundCalls) {
    struct Case {
        const char* script;
        const char* expected;
    } cases[] = {
        {"thing.Value = 7; thing.Value", "7"},
        {"thing.Add(2, 3)", "5"},
        {"var add = thing.Add; add(4, 5)", "9"},
        {"thing.Item(3)", "30"},
        {"typeof thing.Add", "function"},
        {"'Value' in thing", "true"},
        {"thing === thing", "true"},
        {"var e = new Enumerator(thing), s = 0; for (; !e.atEnd(); e.moveNext()) s += e.item(); s",
         "6"},
        {"var g = new VBArray(thing.Grid); [g.dimensions(), g.lbound(1), g.ubound(2), "
         "g.getItem(2, 1), g.toArray().length].join()",
         "2,1,2,21,6"},
        {"new ActiveXObject('Panel.Thing').Add(1, 1)", "2"},
        {"String(thing)", "[object BrevantoObject]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        EXPECT_EQ(Run(c.script), c.expected);
    }
}

TEST_F(JscBridgeTest, FailuresAreErrorsWithTheirStatus) {
    struct Case {
        const char* script;
        const char* expected;
    } cases[] = {
        {"try { thing.Fail(); } catch (e) { (e.number >>> 0).toString(16) + ' ' + e.message }",
         "80070057 Fail: Invalid argument (0x80070057)"},
        {"try { thing.NoSuch; } catch (e) { (e.number >>> 0).toString(16) }", "80020006"},
        {"try { thing.Add('x', 1); } catch (e) { (e.number >>> 0).toString(16) }", "80020005"},
        {"try { new ActiveXObject('No.Such'); } catch (e) { e.message }", "no such class"},
        {"try { new VBArray({}); } catch (e) { (e.number >>> 0).toString(16) }", "80020005"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        EXPECT_EQ(Run(c.script), c.expected);
    }
}

TEST_F(JscBridgeTest, ScriptValuesReachTheLibraryAsTheirKinds) {
    struct Case {
        const char* script;
        const char* expected;
    } cases[] = {
        {"thing.Kind(1)", "3"},              // VT_I4
        {"thing.Kind(1.5)", "5"},            // VT_R8
        {"thing.Kind('a')", "8"},            // VT_BSTR
        {"thing.Kind(true)", "11"},          // VT_BOOL
        {"thing.Kind(null)", "1"},           // VT_NULL
        {"thing.Kind({})", "9 ex"},          // a script object
        {"thing.Kind([1, 2])", "9 ex"},      // a script array
        {"thing.Kind(thing)", "9"},          // the library object itself
        {"thing.Kind(thing.Grid)", "8195"},  // VT_ARRAY | VT_I4, as it came
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        EXPECT_EQ(Run(c.script), c.expected);
    }
}

TEST_F(JscBridgeTest, ScriptFunctionsAreCalledBackWithTheirErrorsSettled) {
    EXPECT_EQ(Run("thing.Callback = function (x) { return x * 2; }; thing.Fire(21)"), "42");
    EXPECT_EQ(Run("thing.Callback = function (x) { return x.Add(1, 2); }; thing.Fire(thing)"), "3");
    // A callback's error that the library returns as its own status is the call's error...
    EXPECT_EQ(Run("thing.Callback = function () { throw new Error('boom'); };"
                  "try { thing.Fire(1); 'no error' } catch (e) { 'caught' }"),
              "caught");
    EXPECT_TRUE(reported_.empty());
    // ...and one that nobody receives is reported.
    ComPtr<IDispatch> callback;
    {
        JSCValue* function =
            jsc_context_evaluate(context_, "(function () { throw new Error('unheard'); })", -1);
        CComVariant converted;
        ASSERT_TRUE(SUCCEEDED(bridge_->ToVariant(function, &converted, false)));
        g_object_unref(function);
        callback = converted.pdispVal;
    }
    CComVariant result;
    EXPECT_FALSE(SUCCEEDED(CallScriptFunction(callback.get(), CComVariant(1), &result)));
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_NE(reported_[0].find("Error: unheard"), std::string::npos) << reported_[0];
}

TEST_F(JscBridgeTest, WorkersReachScriptThroughTheMainLoop) {
    // The page's apartment is pumped by the GLib main loop: a worker thread's call of a script
    // function runs on this thread while the loop runs.
    brevanto_panel::ApartmentSource pump;
    ASSERT_TRUE(pump.attached());
    JSCValue* function = jsc_context_evaluate(
        context_, "var calls = 0; (function (n) { calls += n; return calls; })", -1);
    CComVariant converted;
    ASSERT_TRUE(SUCCEEDED(bridge_->ToVariant(function, &converted, false)));
    g_object_unref(function);
    CComGITPtr2<IDispatch> held(converted.pdispVal);
    constexpr int kCalls = 50;
    std::atomic<int> done{0};
    std::atomic<bool> all_succeeded{true};
    const unsigned long page_thread = brevanto::CurrentThreadId();
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ComPtr<IDispatch> callback;
        if (FAILED(held.CopyTo(callback.put()))) all_succeeded = false;
        for (int i = 0; i < kCalls && callback; ++i) {
            CComVariant result;
            if (FAILED(CallScriptFunction(callback.get(), CComVariant(1), &result)))
                all_succeeded = false;
            ++done;
        }
        callback = nullptr;
        CoUninitialize();
        ++done;
        CoPostToApartment(page_thread, [] {});  // wakes the loop to see it
    });
    while (done < kCalls + 1)
        g_main_context_iteration(nullptr, TRUE);
    worker.join();
    EXPECT_TRUE(all_succeeded);
    EXPECT_EQ(Run("calls"), std::to_string(kCalls));
}

TEST_F(JscBridgeTest, AnEndedPageDisconnectsItsScriptObjects) {
    JSCValue* function = jsc_context_evaluate(context_, "(function () { return 1; })", -1);
    CComVariant converted;
    ASSERT_TRUE(SUCCEEDED(bridge_->ToVariant(function, &converted, false)));
    g_object_unref(function);
    bridge_->End();
    CComVariant result;
    EXPECT_EQ(CallScriptFunction(converted.pdispVal, CComVariant(1), &result), RPC_E_DISCONNECTED);
}

}  // namespace
