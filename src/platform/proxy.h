// Crossing apartments: stubs, marshalled interface pointers and proxies.
//
// An interface pointer leaves its apartment as a MarshalToken, made on the thread where the
// pointer is valid, and becomes a pointer again with UnmarshalInterface on the receiving
// thread: the object itself when the receiver may call it directly (same apartment, agile
// object, or both in the multithreaded apartment), otherwise the receiving apartment's proxy
// of the object. A proxy answers IUnknown, IDispatch, IDispatchEx and IEnumVARIANT (when the
// object does) and runs each call in the object's apartment; interface pointers inside
// arguments and results cross the same way.
#pragma once

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/apartment.h"
#include "platform/comptr.h"
#include "platform/variant.h"

namespace brevanto {

class Proxy;

// Holds one object of an apartment for use by other apartments. Its references are released
// in the owning apartment: on its thread, or queued to it.
class Stub {
  public:
    Stub(std::shared_ptr<Apartment> apartment, IUnknown* identity);
    ~Stub();
    Stub(const Stub&) = delete;
    Stub& operator=(const Stub&) = delete;

    const std::shared_ptr<Apartment>& apartment() const { return apartment_; }
    bool disconnected() const;
    // In the owning apartment: the object's interface `iid` (cached and borrowed: the caller
    // gets no reference of its own).
    HRESULT Interface(REFIID iid, IUnknown** object);
    // Runs `call` in the owning apartment with the object's interface I.
    template <class I, class F>
    HRESULT Call(F&& call) {
        return apartment_->Execute([&]() -> HRESULT {
            IUnknown* p = nullptr;
            HRESULT hr = Interface(uuidof<I>(), &p);
            if (FAILED(hr)) return hr;
            return call(static_cast<I*>(p));
        });
    }
    // The proxy of this object in `client` (one per client apartment, so that identity holds).
    static ComPtr<IUnknown> ProxyFor(const std::shared_ptr<Stub>& stub,
                                     const std::shared_ptr<Apartment>& client);

  private:
    friend class Apartment;
    friend class Proxy;
    // Moves every reference out; called with the apartment's lock held.
    void TakeReferencesLocked(std::vector<IUnknown*>* out);
    bool HasInterface(REFIID iid) const;

    std::shared_ptr<Apartment> apartment_;
    IUnknown* const key_;  // the identity the apartment knows this stub by
    IUnknown* identity_;   // one reference; null once disconnected
    std::vector<std::pair<IID, IUnknown*>> interfaces_;  // one reference each
    std::unordered_map<const Apartment*, Proxy*> proxies_;
    // What the object answered when the stub was made.
    bool answers_dispatch_ = false;
    bool answers_dispatch_ex_ = false;
    bool answers_enum_ = false;
};

// An interface pointer in transit: either a stub of a non-agile object or, for an agile one
// (it answers IMarshal), the object itself.
struct MarshalToken {
    std::shared_ptr<Stub> stub;
    ComPtr<IUnknown> agile;
    bool empty() const { return !stub && !agile; }
};

// On the thread where `object` is valid.
HRESULT MarshalInterface(IUnknown* object, MarshalToken* token);
// On the receiving thread; RPC_E_DISCONNECTED when the object's apartment has ended.
HRESULT UnmarshalInterface(const MarshalToken& token, REFIID iid, void** object);

// The proxy's own identifier: a query for it answers whether a pointer is a proxy.
inline constexpr IID IID_IBrevantoProxy{
    0x5b3f6a10, 0x2c4e, 0x4d71, {0x9a, 0x0e, 0x61, 0x7c, 0x21, 0xd4, 0x88, 0x35}};
// The stub behind a proxy, or null when `object` is not a proxy.
std::shared_ptr<Stub> StubOfProxy(IUnknown* object);

// Replaces every interface pointer inside `v` (objects, arrays of objects or variants, and
// the targets of by-reference variants) by a transit carrier, or the carriers back by
// pointers valid on the calling thread. Both run on the thread where the pointers belong; a
// failure leaves a null pointer in that slot and is returned after the walk finishes.
HRESULT MarshalVariant(VARIANT* v);
HRESULT UnmarshalVariant(VARIANT* v);

}  // namespace brevanto
