// A host application for the Global's tests: records what it is asked, as "Name(args)", and the
// thread its latest call ran on. Not agile: calls from other apartments run on the thread that
// created it. Every operation returns `result`.
#pragma once

#include <atomic>
#include <string>

#include "global/global.h"
#include "interfaces/host.h"
#include "platform/bstr.h"
#include "support/late_bound.h"
#include "support/script_doubles.h"

inline IGlobal* AsGlobal(CGlobal* g) {
    return static_cast<IGlobal*>(g);
}

// The object that `d`'s property `name` holds for scripts; null when it holds none.
inline ComPtr<IDispatch> ObjectProperty(IDispatch* d, const char16_t* name) {
    CComVariant value;
    EXPECT_EQ(CallName(d, name, DISPATCH_PROPERTYGET, {}, &value), S_OK) << Utf16ToUtf8(name);
    return value.vt == VT_DISPATCH ? ComPtr<IDispatch>(value.pdispVal) : nullptr;
}

class TestHost : public ComObjectRoot<TestHost, IHxApplication> {
  public:
    HRESULT result = S_OK;
    BSTR config_file = nullptr;  // handed out as a copy; null: no configuration
    ComPtr<IDispatch> object;    // what Version, UnPersist, GetScript, document, window give

    ~TestHost() { SysFreeString(config_file); }

    std::atomic<unsigned long> last_thread{0};

    std::vector<std::string> Calls() { return calls_.All(); }
    // Whether a call starts with `prefix`: so far, or once one does (waiting a bounded time).
    bool Has(const std::string& prefix) { return Starts(calls_.All(), prefix); }
    bool WaitFor(const std::string& prefix) {
        return Starts(calls_.WaitUntil([&](const auto& calls) { return Starts(calls, prefix); }),
                      prefix);
    }

    HRESULT Log(BSTR text) override { return Note("Log(" + Text(text) + ")"); }
    HRESULT LoadScript(BSTR id, BSTR file, LONG* out) override {
        if (out) *out = 42;
        return Note("LoadScript(" + Text(id) + "," + Text(file) + ")");
    }
    HRESULT RemoveScript(BSTR id) override { return Note("RemoveScript(" + Text(id) + ")"); }
    HRESULT Restart() override { return Note("Restart()"); }
    HRESULT Persist(BSTR name, IDispatch*) override { return Note("Persist(" + Text(name) + ")"); }
    HRESULT UnPersist(BSTR name, IDispatch** out) override {
        return Give(out, "UnPersist(" + Text(name) + ")");
    }
    HRESULT GoToPage(BSTR page) override { return Note("GoToPage(" + Text(page) + ")"); }
    HRESULT GetScript(BSTR name, IDispatch** out) override {
        return Give(out, "GetScript(" + Text(name) + ")");
    }
    HRESULT Calibrate(LONG flag) override {
        return Note("Calibrate(" + std::to_string(flag) + ")");
    }
    HRESULT Version(IDispatch** out) override { return Give(out, "Version()"); }
    HRESULT put_DHCP(LONG v) override { return Note("put_DHCP(" + std::to_string(v) + ")"); }
    HRESULT get_DHCP(LONG* v) override { return *v = 1, Note("get_DHCP()"); }
    HRESULT put_IPAddress(BSTR v) override { return Note("put_IPAddress(" + Text(v) + ")"); }
    HRESULT get_IPAddress(BSTR* v) override { return Give(v, "get_IPAddress()"); }
    HRESULT put_Subnet(BSTR v) override { return Note("put_Subnet(" + Text(v) + ")"); }
    HRESULT get_Subnet(BSTR* v) override { return Give(v, "get_Subnet()"); }
    HRESULT put_Gateway(BSTR v) override { return Note("put_Gateway(" + Text(v) + ")"); }
    HRESULT get_Gateway(BSTR* v) override { return Give(v, "get_Gateway()"); }
    HRESULT put_DNS1(BSTR v) override { return Note("put_DNS1(" + Text(v) + ")"); }
    HRESULT get_DNS1(BSTR* v) override { return Give(v, "get_DNS1()"); }
    HRESULT put_DNS2(BSTR v) override { return Note("put_DNS2(" + Text(v) + ")"); }
    HRESULT get_DNS2(BSTR* v) override { return Give(v, "get_DNS2()"); }
    HRESULT SetLocalTime(IDispatch*) override { return Note("SetLocalTime()"); }
    HRESULT GetConfigFile(BSTR* path) override {
        *path = config_file ? SysAllocString(config_file) : nullptr;
        return Note("GetConfigFile()"), S_OK;
    }
    HRESULT document(IDispatch** out) override { return Give(out, "document()"); }
    HRESULT window(IDispatch** out) override { return Give(out, "window()"); }
    HRESULT Close() override { return Note("Close()"); }

  private:
    static bool Starts(const std::vector<std::string>& calls, const std::string& prefix) {
        for (const std::string& call : calls)
            if (call.rfind(prefix, 0) == 0) return true;
        return false;
    }
    static std::string Text(BSTR b) { return Utf16ToUtf8({b ? b : u"", SysStringLen(b)}); }
    HRESULT Note(std::string call) {
        last_thread = brevanto::CurrentThreadId();
        calls_.Add(std::move(call));
        return result;
    }
    HRESULT Give(IDispatch** out, std::string call) {
        object.CopyTo(out);
        return Note(std::move(call));
    }
    HRESULT Give(BSTR* out, std::string call) {
        *out = SysAllocString(u"10.0.0.1");
        return Note(std::move(call));
    }

    WaitableLog<std::string> calls_;
};
