// The JavaScriptCore bridge on a plain script context (no web page): library objects as
// script objects, script values as library objects, errors both ways, and the page's
// single-threaded apartment pumped by the GLib main loop.
#include "panel/extension/jsc_bridge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/bridge_cases.h"
#include "panel/extension/apartment_source.h"

using brevanto_panel::JscBridge;
using brevanto_panel::PageServices;
using brevanto_panel::ScriptError;

namespace {

class JscBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        context_ = jsc_context_new();
        PageServices services;
        services.create = bridge_cases::Create;
        services.log = [this](const std::string& text) { log_ += text + "\n"; };
        services.report = [this](const ScriptError& error, bool) {
            reported_.push_back(error.Describe());
        };
        bridge_ = JscBridge::Install(context_, std::move(services));
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

    // A script value as the library receives it.
    CComVariant Value(const char* script) {
        JSCValue* value = jsc_context_evaluate(context_, script, -1);
        CComVariant converted;
        EXPECT_TRUE(SUCCEEDED(bridge_->ToVariant(value, &converted, false)));
        g_object_unref(value);
        return converted;
    }

    JSCContext* context_ = nullptr;
    JscBridge* bridge_ = nullptr;
    std::string log_;
    std::vector<std::string> reported_;
};

TEST_F(JscBridgeTest, WhatEveryEngineDoesAlike) {
    for (const bridge_cases::Case& c : bridge_cases::kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Run(bridge_cases::Script(c)), c.expected);
    }
    CComVariant object = Value(bridge_cases::kProtocolObject);
    ASSERT_EQ(object.vt, VT_DISPATCH);
    bridge_cases::ExpectScriptObjectProtocol(object.pdispVal);
    EXPECT_TRUE(reported_.empty());
}

// A callback's error that nobody receives is reported; once the page has ended, its script
// objects refuse calls. Its number, beyond 32 bits, names no status.
TEST_F(JscBridgeTest, UnheardErrorsOfCallbacksAreReportedUntilThePageEnds) {
    CComVariant callback =
        Value("(function () { var e = new Error('unheard'); e.number = 0x180070057; throw e; })");
    CComVariant result;
    EXPECT_FALSE(SUCCEEDED(CallScriptFunction(callback.pdispVal, CComVariant(1), &result)));
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_NE(reported_[0].find("Error: unheard"), std::string::npos) << reported_[0];
    EXPECT_EQ(reported_[0].find("0x"), std::string::npos) << reported_[0];
    bridge_->End();
    EXPECT_EQ(CallScriptFunction(callback.pdispVal, CComVariant(1), &result), RPC_E_DISCONNECTED);
}

TEST_F(JscBridgeTest, WorkersReachScriptThroughTheMainLoop) {
    // The page's apartment is pumped by the GLib main loop: a worker thread's call of a script
    // function runs on this thread while the loop runs.
    brevanto_panel::ApartmentSource pump;
    ASSERT_TRUE(pump.attached());
    CComVariant handler = Value("var calls = 0; (function (n) { calls++; return n; })");
    constexpr int kCalls = 50;
    const auto loop = [](const std::atomic<bool>& done) {
        while (!done)
            g_main_context_iteration(nullptr, TRUE);
    };
    EXPECT_EQ(bridge_cases::EchoesFromAWorker(handler.pdispVal, kCalls, loop), kCalls);
    EXPECT_EQ(Run("calls"), std::to_string(kCalls));
}

}  // namespace
