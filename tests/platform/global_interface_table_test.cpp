// The global interface table, the proxies it hands to other apartments, and CComGITPtr2.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "platform/apartment.h"
#include "platform/boundary.h"
#include "platform/com_object.h"
#include "platform/git_ptr.h"
#include "platform/safearray.h"
#include "platform/variant.h"
#include "support/nameless_dispatch.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

using brevanto::CurrentThreadId;

enum : DISPID {
    kWhere = 1,     // -> the thread id the call ran on
    kCallBack = 2,  // (object) -> the result of object.kWhere
    kEcho = 3,      // (value) -> value
    kStore = 4,     // (by-reference variant) stores this object in it
    kRelay = 5,     // (depth) -> the thread that ends the relay between two peers
    kSum = 6,       // (array of variants holding objects) -> sum of their kWhere results
};

ComPtr<IGlobalInterfaceTable> Git() {
    ComPtr<IGlobalInterfaceTable> git;
    EXPECT_EQ(S_OK, CoGetGlobalInterfaceTable(git.put()));
    return git;
}

// The object behind `cookie`, as this apartment may call it; the table must answer `expected`.
ComPtr<IDispatch> Fetch(DWORD cookie, HRESULT expected = S_OK) {
    ComPtr<IDispatch> p;
    EXPECT_EQ(expected, Git()->GetInterfaceFromGlobal(cookie, IID_IDispatch, p.put_void()));
    return p;
}

// Runs `work` on a new thread of the multithreaded apartment and waits for it.
template <class F>
void OnMtaThread(F work) {
    std::thread([&] {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        work();
        CoUninitialize();
    }).join();
}

DWORD Register(IDispatch* object) {
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, Git()->RegisterInterfaceInGlobal(object, IID_IDispatch, &cookie));
    return cookie;
}

// Calls method `id` with at most one argument.
HRESULT CallMethod(IDispatch* object, DISPID id, VARIANT* arg = nullptr,
                   VARIANT* result = nullptr) {
    DISPPARAMS p{arg, nullptr, arg ? 1u : 0u, 0};
    return object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &p, result, nullptr, nullptr);
}

LONG CallWhere(IDispatch* object, HRESULT* status = nullptr) {
    CComVariant result;
    const HRESULT hr = CallMethod(object, kWhere, nullptr, &result);
    if (status) *status = hr;
    return result.vt == VT_I4 ? result.lVal : -1;
}

struct ProbeLog {
    std::mutex mutex;
    std::vector<unsigned long> threads;
    std::atomic<unsigned long> destroyed_on{0};
    std::atomic<int> destroyed{0};
    void Record() {
        std::lock_guard lock(mutex);
        threads.push_back(CurrentThreadId());
    }
};

// Records where its calls ran; with IMarshal among `Extra` it is agile.
template <class... Extra>
class ProbeOf : public ComObjectRoot<ProbeOf<Extra...>, NamelessDispatch, Extra...> {
  public:
    explicit ProbeOf(std::shared_ptr<ProbeLog> log = std::make_shared<ProbeLog>())
        : log_(std::move(log)) {}
    ~ProbeOf() {
        log_->destroyed_on = CurrentThreadId();
        ++log_->destroyed;
    }
    void set_peer(DWORD cookie) { peer_ = cookie; }

    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        log_->Record();
        VARIANT* arg = params->cArgs ? &params->rgvarg[params->cArgs - 1] : nullptr;
        switch (dispid) {
            case kWhere:
                return CComVariant(static_cast<LONG>(CurrentThreadId())).Detach(result);
            case kCallBack: {
                if (!arg || arg->vt != VT_DISPATCH || !arg->pdispVal) return E_INVALIDARG;
                HRESULT hr;
                CComVariant(CallWhere(arg->pdispVal, &hr)).Detach(result);
                return hr;
            }
            case kEcho:
                return VariantCopy(result, arg);
            case kStore:
                if (!arg || arg->vt != (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
                VariantClear(arg->pvarVal);
                arg->pvarVal->vt = VT_DISPATCH;
                arg->pvarVal->pdispVal = this;
                this->AddRef();
                return S_OK;
            case kRelay: {
                if (arg->lVal == 0) return Invoke(kWhere, IID_NULL, 0, 0, params, result, 0, 0);
                CComVariant next(arg->lVal - 1);
                return CallMethod(Fetch(peer_).get(), kRelay, &next, result);
            }
            case kSum: {
                if (!arg || arg->vt != (VT_ARRAY | VT_VARIANT)) return E_INVALIDARG;
                LONG sum = 0;
                auto* items = static_cast<VARIANT*>(arg->parray->pvData);
                for (ULONG i = 0; i < arg->parray->rgsabound[0].cElements; ++i)
                    sum += CallWhere(items[i].pdispVal);
                return CComVariant(sum).Detach(result);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

  private:
    std::shared_ptr<ProbeLog> log_;
    DWORD peer_ = 0;
};

using Probe = ProbeOf<>;
using AgileProbe = ProbeOf<IMarshal>;

// A thread in a single-threaded apartment of its own that pumps until stopped.
class StaThread {
  public:
    StaThread() {
        std::promise<unsigned long> started;
        auto id = started.get_future();
        thread_ = std::thread([&started] {
            EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
            started.set_value(CurrentThreadId());
            while (CoPumpMessages(-1)) {
            }
            CoUninitialize();
        });
        id_ = id.get();
    }
    ~StaThread() { Stop(); }

    unsigned long id() const { return id_; }
    // Runs `work` on the apartment's thread and waits for it.
    template <class F>
    void Run(F work) {
        std::promise<void> done;
        ASSERT_TRUE(CoPostToApartment(id_, [&] {
            work();
            done.set_value();
        }));
        done.get_future().wait();
    }
    // Ends the apartment (CoUninitialize on its thread) and joins the thread.
    void Stop() {
        if (!thread_.joinable()) return;
        CoPostQuit(id_);
        thread_.join();
    }

  private:
    std::thread thread_;
    unsigned long id_ = 0;
};

// Creates a probe on `sta` and registers it; returns its cookie.
DWORD RegisterProbeOn(StaThread& sta, std::shared_ptr<ProbeLog> log, Probe** raw = nullptr) {
    DWORD cookie = 0;
    sta.Run([&] {
        auto probe = New<Probe>(log);
        cookie = Register(probe.get());
        if (raw) *raw = probe.get();
    });
    return cookie;
}

// A probe made and registered on an apartment of its own; its registration is revoked at the end.
class ProbeOnApartment : public ::testing::Test {
  protected:
    void Revoke() { EXPECT_EQ(S_OK, Git()->RevokeInterfaceFromGlobal(std::exchange(cookie, 0))); }
    void TearDown() override {
        if (cookie) Revoke();
    }

    StaThread sta;
    std::shared_ptr<ProbeLog> log = std::make_shared<ProbeLog>();
    Probe* raw = nullptr;
    DWORD cookie = RegisterProbeOn(sta, log, &raw);
};

TEST_F(ProbeOnApartment, WorkerCallsRunOnTheOwningApartmentThreadThroughOneProxy) {
    OnMtaThread([&] { EXPECT_EQ(static_cast<LONG>(sta.id()), CallWhere(Fetch(cookie))); });
    EXPECT_EQ(log->threads, std::vector<unsigned long>{sta.id()});

    // Many workers fetching and calling at once, while registrations of their own come and go.
    constexpr int kWorkers = 6, kCalls = 50;
    std::atomic<int> right{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < kCalls; ++i) {
                ComPtr<IDispatch> p;
                if (Git()->GetInterfaceFromGlobal(cookie, IID_IDispatch, p.put_void()) != S_OK)
                    continue;
                if (CallWhere(p) == static_cast<LONG>(sta.id())) ++right;
                DWORD mine = 0;
                Git()->RegisterInterfaceInGlobal(p, IID_IDispatch, &mine);
                Git()->RevokeInterfaceFromGlobal(mine);
            }
            CoUninitialize();
        });
    }
    for (auto& t : workers)
        t.join();
    EXPECT_EQ(kWorkers * kCalls, right.load());

    // One apartment gets one proxy, which answers only what the object answers and never
    // claims to be agile.
    ComPtr<IUnknown> a = Fetch(cookie).As<IUnknown>();
    ASSERT_TRUE(a);
    EXPECT_EQ(a.get(), Fetch(cookie).As<IUnknown>().get());
    EXPECT_EQ(a.get(), a.As<IUnknown>().get());
    ComPtr<IUnknown> none;
    EXPECT_EQ(E_NOINTERFACE, a->QueryInterface(IID_IEnumVARIANT, none.put_void()));
    EXPECT_EQ(E_NOINTERFACE, a->QueryInterface(IID_IMarshal, none.put_void()));
    a = nullptr;

    // On its own apartment the table hands out the object itself.
    sta.Run([&] { EXPECT_EQ(static_cast<IDispatch*>(raw), Fetch(cookie).get()); });
    Revoke();
    sta.Run([] {});  // the release queued by the revoke has run by now
    EXPECT_EQ(1, log->destroyed.load());
    EXPECT_EQ(sta.id(), log->destroyed_on.load());
}

TEST_F(ProbeOnApartment, AgileAndMultithreadedObjectsComeBackUnproxied) {
    auto agile = New<AgileProbe>();
    auto mta_object = New<Probe>();
    const DWORD agile_cookie = Register(agile.get()), mta_cookie = Register(mta_object.get());
    sta.Run([&] {
        ComPtr<IDispatch> p = Fetch(agile_cookie);
        EXPECT_EQ(static_cast<IDispatch*>(agile.get()), p.get());
        // The multithreaded object is proxied in a single-threaded apartment...
        p = Fetch(mta_cookie);
        EXPECT_NE(static_cast<IDispatch*>(mta_object.get()), p.get());
        EXPECT_NE(static_cast<LONG>(CurrentThreadId()), CallWhere(p));
    });
    // ...and comes back as itself on any thread of the multithreaded apartment.
    OnMtaThread(
        [&] { EXPECT_EQ(static_cast<IDispatch*>(mta_object.get()), Fetch(mta_cookie).get()); });
    EXPECT_EQ(S_OK, Git()->RevokeInterfaceFromGlobal(agile_cookie));
    EXPECT_EQ(S_OK, Git()->RevokeInterfaceFromGlobal(mta_cookie));
}

TEST_F(ProbeOnApartment, ObjectsInArgumentsResultsAndArraysCrossBothWays) {
    // An object argument is called back in its own apartment and left as the caller passed it.
    auto callback_log = std::make_shared<ProbeLog>();
    {
        auto callback = New<Probe>(callback_log);  // of this thread's multithreaded apartment
        CComVariant arg(static_cast<IDispatch*>(callback.get())), result;
        ASSERT_EQ(S_OK, CallMethod(Fetch(cookie).get(), kCallBack, &arg, &result));
        ASSERT_EQ(VT_I4, result.vt);
        EXPECT_EQ(VT_DISPATCH, arg.vt);
        EXPECT_EQ(static_cast<IDispatch*>(callback.get()), arg.pdispVal);
    }
    ASSERT_EQ(1u, callback_log->threads.size());
    EXPECT_NE(sta.id(), callback_log->threads[0]);
    sta.Run([] {});  // the apartment let go of its proxy of the callback
    EXPECT_EQ(1, callback_log->destroyed.load());

    ComPtr<IDispatch> proxy = Fetch(cookie);

    // By reference: the object stores itself; the caller gets the proxy, not the raw object.
    CComVariant slot(LONG{7}), ref = ByRef(VT_VARIANT, &slot);
    ASSERT_EQ(S_OK, CallMethod(proxy.get(), kStore, &ref));
    ASSERT_EQ(VT_DISPATCH, slot.vt);
    EXPECT_EQ(proxy.get(), slot.pdispVal);

    // Echo of an array of variants holding the caller's object and the object's own proxy.
    auto mine = New<Probe>();
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    ASSERT_NE(nullptr, array);
    auto* items = static_cast<VARIANT*>(array->pvData);
    CComVariant(static_cast<IDispatch*>(mine.get())).Detach(&items[0]);
    CComVariant(proxy.get()).Detach(&items[1]);
    CComVariant in, out;
    in.vt = VT_ARRAY | VT_VARIANT;
    in.parray = array;
    ASSERT_EQ(S_OK, CallMethod(proxy.get(), kEcho, &in, &out));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, out.vt);
    auto* back = static_cast<VARIANT*>(out.parray->pvData);
    EXPECT_EQ(static_cast<IDispatch*>(mine.get()), back[0].pdispVal);  // home again: itself
    EXPECT_EQ(proxy.get(), back[1].pdispVal);

    // Inside the call, the object sees its own pointer and a proxy of the caller's object.
    CComVariant sum;
    ASSERT_EQ(S_OK, CallMethod(proxy.get(), kSum, &in, &sum));
    LONG main_thread_calls = sum.lVal - static_cast<LONG>(sta.id());
    EXPECT_NE(static_cast<LONG>(sta.id()), main_thread_calls);  // ran in the caller's apartment
}

// The fixture's apartment `sta` and a second one, `b`, call each other.
TEST_F(ProbeOnApartment, TwoApartmentsCallingEachOtherDoNotDeadlock) {
    StaThread b;
    auto log_b = std::make_shared<ProbeLog>();
    Probe* raw_b = nullptr;
    const DWORD cookie_b = RegisterProbeOn(b, log_b, &raw_b);
    sta.Run([&] { raw->set_peer(cookie_b); });
    b.Run([&] { raw_b->set_peer(cookie); });

    CComVariant depth(LONG{5}), result;  // sta -> b -> sta -> b -> sta -> b
    ASSERT_EQ(S_OK, CallMethod(Fetch(cookie).get(), kRelay, &depth, &result));
    EXPECT_EQ(static_cast<LONG>(b.id()), result.lVal);
    EXPECT_EQ(log->threads, std::vector<unsigned long>(3, sta.id()));  // depths 5, 3, 1
    EXPECT_EQ(log_b->threads, std::vector<unsigned long>(4, b.id()));  // 4, 2, 0, the kWhere
    EXPECT_EQ(S_OK, Git()->RevokeInterfaceFromGlobal(cookie_b));
}

TEST_F(ProbeOnApartment, EndedApartmentDisconnectsFetchesAndCalls) {
    ComPtr<IDispatch> proxy = Fetch(cookie);
    sta.Stop();  // CoUninitialize on the apartment's thread
    EXPECT_EQ(1, log->destroyed.load());
    EXPECT_EQ(sta.id(), log->destroyed_on.load());
    HRESULT hr = S_OK;
    CallWhere(proxy, &hr);
    EXPECT_EQ(RPC_E_DISCONNECTED, hr);
    EXPECT_EQ(nullptr, Fetch(cookie, RPC_E_DISCONNECTED).get());
    Revoke();
}

TEST(GlobalInterfaceTable, QueuedCallsFailWhenTheApartmentEnds) {
    std::promise<void> registered;
    std::atomic<DWORD> cookie{0};
    // An apartment that registers an object, waits until a call is queued for it and leaves
    // without ever pumping.
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        cookie = Register(New<Probe>().get());
        pollfd queued{CoGetPumpDescriptor(), POLLIN, 0};
        registered.set_value();
        EXPECT_EQ(1, poll(&queued, 1, -1));
        CoUninitialize();
    });
    registered.get_future().wait();
    ComPtr<IDispatch> proxy = Fetch(cookie);
    HRESULT hr = S_OK;
    CallWhere(proxy, &hr);
    EXPECT_EQ(RPC_E_DISCONNECTED, hr);
    sta.join();
    EXPECT_EQ(S_OK, Git()->RevokeInterfaceFromGlobal(cookie));
}

TEST(GitPtr, AttachCopyRevokeDestructionAndFailures) {
    auto log = std::make_shared<ProbeLog>();
    ComPtr<Probe> a = New<Probe>(log), b = New<Probe>(log);
    {
        CComGITPtr2<IDispatch> holder;
        ASSERT_EQ(S_OK, holder.Attach(a.get()));
        DWORD first = holder.GetCookie();
        EXPECT_EQ(static_cast<IDispatch*>(a.get()), holder.Get().get());

        // Attaching again revokes the first registration.
        ASSERT_EQ(S_OK, holder.Attach(b.get()));
        Fetch(first, E_INVALIDARG);
        EXPECT_EQ(static_cast<IDispatch*>(b.get()), holder.Get().get());

        // A copy is a second registration; each goes with its holder.
        DWORD copy_cookie;
        {
            CComGITPtr2<IDispatch> copy(holder);
            copy_cookie = copy.GetCookie();
            EXPECT_EQ(static_cast<IDispatch*>(b.get()), copy.Get().get());
        }
        Fetch(copy_cookie, E_INVALIDARG);
        Fetch(holder.GetCookie());

        DWORD last = holder.GetCookie();
        EXPECT_EQ(S_OK, holder.Revoke());
        EXPECT_EQ(0u, holder.GetCookie());
        Fetch(last, E_INVALIDARG);
        ASSERT_EQ(S_OK, holder.Attach(a.get()));
        a = nullptr;
        b = nullptr;
        EXPECT_EQ(1, log->destroyed.load());  // the registration keeps `a` alive
    }
    EXPECT_EQ(2, log->destroyed.load());  // destruction revoked it

    // Failures are returned or raised.
    auto object = New<Probe>();
    CComGITPtr2<IEnumVARIANT> holder;
    IEnumVARIANT* wrong = reinterpret_cast<IEnumVARIANT*>(static_cast<IDispatch*>(object.get()));
    EXPECT_EQ(E_NOINTERFACE, holder.Attach(wrong));
    EXPECT_TRUE(holder.empty());
    EXPECT_EQ(E_NOINTERFACE, StatusOf([&] { CComGITPtr2<IEnumVARIANT> raised(wrong); }));
    ComPtr<IEnumVARIANT> out;
    EXPECT_EQ(E_INVALIDARG, holder.CopyTo(out.put()));  // cookie 0
    EXPECT_EQ(E_POINTER, holder.CopyTo(nullptr));

    // The table itself: a failed registration leaves cookie 0; a null object is refused, and so
    // is a cookie once it is revoked.
    DWORD cookie = 5;
    EXPECT_EQ(E_NOINTERFACE, Git()->RegisterInterfaceInGlobal(wrong, IID_IEnumVARIANT, &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(E_INVALIDARG, Git()->RegisterInterfaceInGlobal(nullptr, IID_IDispatch, &cookie));
    cookie = Register(object.get());
    EXPECT_EQ(S_OK, Git()->RevokeInterfaceFromGlobal(cookie));
    EXPECT_EQ(E_INVALIDARG, Git()->RevokeInterfaceFromGlobal(cookie));
}

}  // namespace
