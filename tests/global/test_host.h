// Test doubles for the Global's tests: a host application that records what it is asked, and a
// callable that records its calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "dispatch/disp_ex_object.h"
#include "interfaces/host.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "support/nameless_dispatch.h"

// Records each call as "Name(args)" with the thread it ran on. Not agile: calls from other
// apartments run on the thread that created it. Every operation returns `result`.
class TestHost : public ComObjectRoot<TestHost, IHxApplication> {
  public:
    HRESULT result = S_OK;
    BSTR config_file = nullptr;  // handed out as a copy; null: no configuration
    ComPtr<IDispatch> object;    // what Version, UnPersist, GetScript, document, window give

    ~TestHost() { SysFreeString(config_file); }

    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    unsigned long LastThread() {
        std::lock_guard lock(mutex_);
        return last_thread_;
    }
    bool Has(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        for (auto& c : calls_)
            if (c.rfind(prefix, 0) == 0) return true;
        return false;
    }
    // Waits (at most 5 s) for a call that starts with `prefix`.
    bool WaitFor(const std::string& prefix) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
            for (auto& c : calls_)
                if (c.rfind(prefix, 0) == 0) return true;
            return false;
        });
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
        object.CopyTo(out);
        return Note("UnPersist(" + Text(name) + ")");
    }
    HRESULT GoToPage(BSTR page) override { return Note("GoToPage(" + Text(page) + ")"); }
    HRESULT GetScript(BSTR name, IDispatch** out) override {
        object.CopyTo(out);
        return Note("GetScript(" + Text(name) + ")");
    }
    HRESULT Calibrate(LONG flag) override {
        return Note("Calibrate(" + std::to_string(flag) + ")");
    }
    HRESULT Version(IDispatch** out) override {
        object.CopyTo(out);
        return Note("Version()");
    }
    HRESULT put_DHCP(LONG v) override { return Note("put_DHCP(" + std::to_string(v) + ")"); }
    HRESULT get_DHCP(LONG* v) override {
        *v = 1;
        return Note("get_DHCP()");
    }
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
        Note("GetConfigFile()");
        return S_OK;
    }
    HRESULT document(IDispatch** out) override {
        object.CopyTo(out);
        return Note("document()");
    }
    HRESULT window(IDispatch** out) override {
        object.CopyTo(out);
        return Note("window()");
    }
    HRESULT Close() override { return Note("Close()"); }

  private:
    static std::string Text(BSTR b) { return Utf16ToUtf8({b ? b : u"", SysStringLen(b)}); }
    HRESULT Note(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        last_thread_ = brevanto::CurrentThreadId();
        changed_.notify_all();
        return result;
    }
    HRESULT Give(BSTR* out, std::string call) {
        *out = SysAllocString(u"10.0.0.1");
        return Note(std::move(call));
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    unsigned long last_thread_ = 0;
};

// What a script function stand-in saw: its calls, and the thread and argument of the last one.
struct CallbackState {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    unsigned long thread = 0;
    ComPtr<IDispatch> argument;
    std::function<void()> on_call;  // run inside each call

    HRESULT Record(DISPPARAMS* params) {
        std::function<void()> extra;
        {
            std::lock_guard lock(mutex);
            ++calls;
            thread = brevanto::CurrentThreadId();
            argument = params && params->cArgs == 1 && params->rgvarg[0].vt == VT_DISPATCH
                           ? params->rgvarg[0].pdispVal
                           : nullptr;
            extra = on_call;
        }
        if (extra) extra();
        std::lock_guard lock(mutex);
        changed.notify_all();
        return S_OK;
    }
    bool WaitFor(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return calls >= count; });
    }
    int Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

class TestCallbackBase : public NamelessDispatch {
  public:
    CallbackState state;

    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        if (dispid != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
        return state.Record(params);
    }

  protected:
    ~TestCallbackBase() = default;
};

// Agile: called directly on any thread. The other runs on the thread of its creator's apartment.
class AgileCallback : public ComObjectRoot<AgileCallback, TestCallbackBase, IMarshal> {};
class ApartmentCallback : public ComObjectRoot<ApartmentCallback, TestCallbackBase> {};

// A script object with the given members.
inline ComPtr<IDispatchEx> ScriptObject(
    std::initializer_list<std::pair<const char16_t*, CComVariant>> values) {
    ComPtr<CDispExObject> bag;
    CDispExObject::Create(&bag);
    for (const auto& [name, value] : values) {
        CComBSTR n(name);
        DISPID id = DISPID_UNKNOWN;
        bag->GetDispID(n, fdexNameEnsure, &id);
        VARIANT arg = value;
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS p{&arg, &put, 1, 1};
        bag->InvokeEx(id, 0x400, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
    }
    return ComPtr<IDispatchEx>(bag.get());
}
