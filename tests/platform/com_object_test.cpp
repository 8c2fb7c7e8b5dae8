#include "platform/com_object.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/object_safety.h"
#include "support/counted_unknown.h"
#include "support/script_doubles.h"

namespace {

struct IAlpha : IDispatch {
    static constexpr IID kIid{0x1a2b3c01, 0x0001, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
    virtual HRESULT Alpha(LONG* out) = 0;
};
struct IBeta : IUnknown {
    static constexpr IID kIid{0x1a2b3c02, 0x0001, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
    virtual HRESULT Beta(LONG* out) = 0;
};
struct IGamma : IBeta {
    static constexpr IID kIid{0x1a2b3c03, 0x0001, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
    using Base = IBeta;
};
struct IAbsent : IUnknown {
    static constexpr IID kIid{0x1a2b3c04, 0x0001, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
};
// An internal identity: handed out without a reference.
struct ICore {
    static constexpr IID kIid{0x1a2b3c05, 0x0001, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
    static constexpr bool kUncounted = true;
    virtual int CoreValue() = 0;

  protected:
    ~ICore() = default;
};

int g_final_releases = 0;
int g_destroyed = 0;

class CThing : public ComObjectRoot<CThing, IAlpha, IGamma, ICore, MyIObjectSafetyImpl, IMarshal> {
  public:
    explicit CThing(HRESULT final_result = S_OK) : final_result_(final_result) {}
    ~CThing() { ++g_destroyed; }
    HRESULT FinalConstruct() {
        // A temporary reference protects the object from its own AddRef/Release pairs.
        ComPtr<IBeta> self;
        EXPECT_EQ(S_OK, InternalQueryInterface(IBeta::kIid, self.put_void()));
        return final_result_;
    }
    void FinalRelease() { ++g_final_releases; }

    HRESULT Alpha(LONG* out) override { return *out = 1, S_OK; }
    HRESULT Beta(LONG* out) override { return *out = 2, S_OK; }
    int CoreValue() override { return 42; }
    HRESULT GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

  private:
    HRESULT final_result_;
};

class CLonely : public ComObjectRoot<CLonely, IBeta> {
  public:
    static constexpr bool kAggregatable = false;
    HRESULT Beta(LONG* out) override { return *out = 7, S_OK; }
};

// A minimal outer object that aggregates a CThing: what it does not answer, it asks the inner.
class Outer : public Counted<IAbsent> {
  public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        const HRESULT hr = Counted::QueryInterface(riid, object);
        return hr == S_OK || !inner ? hr : inner->QueryInterface(riid, object);
    }
    ComPtr<IUnknown> inner;
};

class ComObjectTest : public ::testing::Test {
  protected:
    void SetUp() override { g_final_releases = g_destroyed = 0; }
    // The counts an object's life changes, as "final releases/destructions/module locks taken".
    std::string Life() const {
        return std::to_string(g_final_releases) + "/" + std::to_string(g_destroyed) + "/" +
               std::to_string(ModuleLockCount() - locks_before_);
    }
    const LONG locks_before_ = ModuleLockCount();
};

TEST_F(ComObjectTest, InterfacesShareOneIdentityAndTheLastReleaseDestroys) {
    auto thing = New<CThing>();
    EXPECT_EQ(Life(), "0/0/1");
    void* core = nullptr;
    ASSERT_EQ(S_OK, thing->QueryInterface(ICore::kIid, &core));
    EXPECT_EQ(42, static_cast<ICore*>(core)->CoreValue());
    EXPECT_EQ(2u, thing->AddRef());
    EXPECT_EQ(1u, thing->Release());
    auto alpha = thing.As<IAlpha>();
    auto beta = thing.As<IBeta>();
    auto gamma = thing.As<IGamma>();
    auto disp = thing.As<IDispatch>();
    ComPtr<IUnknown> identity = thing.As<IUnknown>();
    ASSERT_TRUE(alpha && beta && gamma && disp && identity);
    EXPECT_EQ(identity.get(), alpha.As<IUnknown>().get());
    EXPECT_EQ(identity.get(), beta.As<IUnknown>().get());
    EXPECT_NE(static_cast<void*>(alpha.get()), static_cast<void*>(beta.get()));
    // IDispatch is the first dual interface; IGamma's base IBeta reaches the same vtable.
    EXPECT_EQ(static_cast<IDispatch*>(alpha.get()), disp.get());
    EXPECT_EQ(static_cast<IBeta*>(gamma.get()), beta.get());

    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(E_NOINTERFACE, thing->QueryInterface(IAbsent::kIid, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, thing->QueryInterface(IAbsent::kIid, nullptr));

    // Agile objects answer IMarshal.
    auto lonely = New<CLonely>();
    EXPECT_TRUE(IsAgileObject(static_cast<IAlpha*>(thing.get())));
    EXPECT_FALSE(IsAgileObject(static_cast<IBeta*>(lonely.get())));
    EXPECT_FALSE(IsAgileObject(nullptr));

    alpha = nullptr, beta = nullptr, gamma = nullptr, disp = nullptr, identity = nullptr;
    EXPECT_EQ(Life(), "0/0/2");
    thing = nullptr;
    EXPECT_EQ(Life(), "1/1/1");
    lonely = nullptr;
    EXPECT_EQ(Life(), "1/1/0");
}

// A class whose constructor fails the way it is told to.
class CFragile : public ComObjectRoot<CFragile, IBeta> {
  public:
    explicit CFragile(int how = 0) {
        if (how == 1) throw HResultError(E_ACCESSDENIED);
        if (how == 2) throw std::bad_alloc();
        if (how == 3) throw 42;
    }
    HRESULT Beta(LONG*) override { return S_OK; }
};

TEST_F(ComObjectTest, CreationReportsFailuresHandsOutTheInterfaceAskedForAndAggregates) {
    const struct {
        int how;
        HRESULT expected;
    } cases[] = {{1, E_ACCESSDENIED}, {2, E_OUTOFMEMORY}, {3, E_FAIL}};
    Outer outer;
    for (const auto& c : cases) {
        ComObject<CFragile>* plain = nullptr;
        EXPECT_EQ(c.expected, ComObject<CFragile>::CreateInstance(&plain, c.how)) << c.how;
        EXPECT_EQ(nullptr, plain);
        ComAggObject<CFragile>* inner = nullptr;
        EXPECT_EQ(c.expected, ComAggObject<CFragile>::CreateInstance(&outer, &inner, c.how))
            << c.how;
        EXPECT_EQ(nullptr, inner);
    }
    // A failed final construction destroys the object too.
    ComObject<CThing>* object = reinterpret_cast<ComObject<CThing>*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED, ComObject<CThing>::CreateInstance(&object, E_ACCESSDENIED));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(Life(), "1/1/0");  // FinalRelease runs before any destruction

    EXPECT_EQ(E_POINTER, CreateComInstance<CThing>(nullptr, IID_IUnknown, nullptr));
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, CreateComInstance<CThing>(nullptr, IAbsent::kIid, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(Life(), "2/2/0");  // the object without the interface is destroyed
    ASSERT_EQ(S_OK, CreateComInstance<CThing>(nullptr, IAlpha::kIid, &out));
    IAlpha* alpha = static_cast<IAlpha*>(out);
    LONG v = 0;
    alpha->Alpha(&v);
    EXPECT_EQ(1, v);
    EXPECT_EQ(0u, alpha->Release());
    EXPECT_EQ(Life(), "3/3/0");

    EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateComInstance<CLonely>(&outer, IID_IUnknown, &out));
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateComInstance<CThing>(&outer, IAlpha::kIid, &out));
    EXPECT_EQ(nullptr, out);

    // Aggregation delegates identity and counting.
    ASSERT_EQ(S_OK, CreateComInstance<CThing>(&outer, IID_IUnknown, &out));
    outer.inner.Attach(static_cast<IUnknown*>(out));
    EXPECT_EQ(1u, outer.refs);  // final construction's references went to the inner object
    EXPECT_EQ(Life(), "3/3/1");

    // Through the outer object, the inner interfaces appear; their counts go to the outer.
    ComPtr<IBeta> beta;
    ASSERT_EQ(S_OK, outer.QueryInterface(IBeta::kIid, beta.put_void()));
    EXPECT_EQ(2u, outer.refs);
    beta->Beta(&v);
    EXPECT_EQ(2, v);
    // Identity from an inner interface is the outer's; so is any interface only the outer has.
    EXPECT_EQ(static_cast<IUnknown*>(static_cast<IAbsent*>(&outer)), beta.As<IUnknown>().get());
    EXPECT_EQ(&outer, beta.As<IAbsent>().get());
    beta = nullptr;
    EXPECT_EQ(1u, outer.refs);

    // The inner identity counts its own references only.
    EXPECT_EQ(2u, outer.inner->AddRef());
    EXPECT_EQ(1u, outer.inner->Release());
    EXPECT_EQ(Life(), "3/3/1");
    outer.inner = nullptr;
    EXPECT_EQ(Life(), "4/4/0");
}

TEST_F(ComObjectTest, EmbeddedObjectsDoNotCountTheirLockIsRecursiveAndSafetyFollowsTheMask) {
    {
        ComObjectEmbedded<CThing> embedded;
        {
            CThing::ObjectLock outer_guard(&embedded);
            CThing::ObjectLock inner_guard(&embedded);  // would deadlock if not recursive
        }
        EXPECT_EQ(0u, embedded.AddRef());
        EXPECT_EQ(0u, embedded.Release());
        ComPtr<IObjectSafety> safety;
        ASSERT_EQ(S_OK, embedded.QueryInterface(safety.put()));
        using Options = std::pair<DWORD, DWORD>;  // supported, enabled
        auto options = [&](REFIID iid) {
            Options o;
            EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(iid, &o.first, &o.second));
            return o;
        };
        EXPECT_EQ(options(IID_IDispatch), Options(3, 3));
        // Only the two low bits of the mask count.
        EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IAbsent::kIid, 0xFFFFFFFFu, 0));
        EXPECT_EQ(options(IAbsent::kIid), Options(3, 0));
        EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x6, 0xFF));
        EXPECT_EQ(options(IID_IDispatch), Options(3, 2));  // mask bit 2 dropped, bit 1 from enabled
        EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x3, 0x1));
        EXPECT_EQ(options(IID_IDispatch), Options(3, 1));
        safety = nullptr;  // does not destroy the member
        EXPECT_EQ(Life(), "0/0/0");
    }
    EXPECT_EQ(Life(), "1/1/0");
}

}  // namespace
