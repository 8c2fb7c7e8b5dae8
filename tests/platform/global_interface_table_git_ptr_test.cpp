// CComGITPtr2: attach, copy out, copy, revoke and destruction.
#include <gtest/gtest.h>

#include <thread>

#include "platform/com_object.h"
#include "platform/git_ptr.h"
#include "platform/variant.h"
#include "support/nameless_dispatch.h"

namespace {

int g_live = 0;

class Counted : public ComObjectRoot<Counted, NamelessDispatch> {
  public:
    Counted() { ++g_live; }
    ~Counted() { --g_live; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        result->vt = VT_I4;
        result->lVal = static_cast<LONG>(brevanto::CurrentThreadId());
        return S_OK;
    }
};

HRESULT Fetch(DWORD cookie) {
    ComPtr<IGlobalInterfaceTable> git;
    CoGetGlobalInterfaceTable(git.put());
    ComPtr<IDispatch> p;
    return git->GetInterfaceFromGlobal(cookie, IID_IDispatch, p.put_void());
}

TEST(GitPtr, AttachCopyRevokeAndDestruction) {
    ComPtr<Counted> a, b;
    ASSERT_EQ(S_OK, MakeComObject(&a));
    ASSERT_EQ(S_OK, MakeComObject(&b));
    {
        CComGITPtr2<IDispatch> holder;
        EXPECT_TRUE(holder.empty());
        EXPECT_EQ(S_OK, holder.Revoke());  // nothing held: nothing to do
        ASSERT_EQ(S_OK, holder.Attach(a.get()));
        DWORD first = holder.GetCookie();
        EXPECT_NE(0u, first);
        ComPtr<IDispatch> out;
        ASSERT_EQ(S_OK, holder.CopyTo(out.put()));
        EXPECT_EQ(static_cast<IDispatch*>(a.get()), out.get());

        // Attaching again revokes the first registration.
        ASSERT_EQ(S_OK, holder.Attach(b.get()));
        EXPECT_NE(first, holder.GetCookie());
        EXPECT_EQ(E_INVALIDARG, Fetch(first));
        EXPECT_EQ(static_cast<IDispatch*>(b.get()), holder.Get().get());

        // A copy is a second registration; each goes with its holder.
        DWORD copy_cookie;
        {
            CComGITPtr2<IDispatch> copy(holder);
            copy_cookie = copy.GetCookie();
            EXPECT_NE(holder.GetCookie(), copy_cookie);
            EXPECT_EQ(static_cast<IDispatch*>(b.get()), copy.Get().get());
        }
        EXPECT_EQ(E_INVALIDARG, Fetch(copy_cookie));
        EXPECT_EQ(S_OK, Fetch(holder.GetCookie()));

        DWORD last = holder.GetCookie();
        EXPECT_EQ(S_OK, holder.Revoke());
        EXPECT_EQ(0u, holder.GetCookie());
        EXPECT_EQ(E_INVALIDARG, Fetch(last));
        ASSERT_EQ(S_OK, holder.Attach(a.get()));
        last = holder.GetCookie();
        a = nullptr;
        b = nullptr;
        EXPECT_EQ(1, g_live);  // the registration keeps `a` alive
        out = nullptr;
    }
    EXPECT_EQ(0, g_live);  // destruction revoked it
}

TEST(GitPtr, AttachFailuresAreReturnedOrRaised) {
    ComPtr<Counted> object;
    ASSERT_EQ(S_OK, MakeComObject(&object));
    CComGITPtr2<IEnumVARIANT> holder;
    IEnumVARIANT* wrong = reinterpret_cast<IEnumVARIANT*>(static_cast<IDispatch*>(object.get()));
    EXPECT_EQ(E_NOINTERFACE, holder.Attach(wrong));
    EXPECT_TRUE(holder.empty());
    try {
        CComGITPtr2<IEnumVARIANT> raised(wrong);
        ADD_FAILURE() << "no error raised";
    } catch (const HResultError& e) {
        EXPECT_EQ(E_NOINTERFACE, e.code());
    }
    ComPtr<IEnumVARIANT> out;
    EXPECT_EQ(E_INVALIDARG, holder.CopyTo(out.put()));
    EXPECT_EQ(E_POINTER, holder.CopyTo(nullptr));
}

TEST(GitPtr, CopyOutOnAnotherApartmentGivesAPointerValidThere) {
    std::unique_ptr<CComGITPtr2<IDispatch>> holder;
    unsigned long owner = 0;
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        owner = brevanto::CurrentThreadId();
        ComPtr<Counted> object;
        MakeComObject(&object);
        holder = std::make_unique<CComGITPtr2<IDispatch>>(object.get());
        std::thread worker([&] {
            ComPtr<IDispatch> p = holder->Get();
            ASSERT_TRUE(p);
            EXPECT_NE(static_cast<IDispatch*>(object.get()), p.get());
            CComVariant result;
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            EXPECT_EQ(S_OK, p->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &none, &result, 0, 0));
            EXPECT_EQ(static_cast<LONG>(owner), result.lVal);
            p = nullptr;
            CoPostQuit(owner);
        });
        while (CoPumpMessages(-1)) {
        }
        worker.join();
        holder.reset();
        object = nullptr;
        CoUninitialize();
    });
    sta.join();
    EXPECT_EQ(0, g_live);
}

}  // namespace
