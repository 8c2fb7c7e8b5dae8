#include "platform/proxy.h"

#include <atomic>

#include "platform/safearray.h"

namespace brevanto {

// ---- Stub -------------------------------------------------------------------------------------

Stub::Stub(std::shared_ptr<Apartment> apartment, IUnknown* identity)
    : apartment_(std::move(apartment)), key_(identity), identity_(identity) {
    identity_->AddRef();
    // Made in the object's apartment: learn now which proxied interfaces it answers, so that
    // proxies answer queries without a call to this apartment.
    for (const IID* iid : {&IID_IDispatch, &IID_IDispatchEx, &IID_IEnumVARIANT}) {
        IUnknown* p = nullptr;
        if (SUCCEEDED(identity_->QueryInterface(*iid, reinterpret_cast<void**>(&p))) && p)
            interfaces_.emplace_back(*iid, p);
    }
    answers_dispatch_ = HasInterface(IID_IDispatch);
    answers_dispatch_ex_ = HasInterface(IID_IDispatchEx);
    answers_enum_ = HasInterface(IID_IEnumVARIANT);
}

bool Stub::HasInterface(REFIID iid) const {
    for (auto& entry : interfaces_)
        if (entry.first == iid) return true;
    return false;
}

Stub::~Stub() {
    std::vector<IUnknown*> refs;
    // The multithreaded apartment's objects may be released on any of its threads; this
    // thread counts for it unless it is single-threaded.
    bool here = apartment_->IsCurrent();
    {
        std::lock_guard lock(apartment_->mutex_);
        auto it = apartment_->stubs_.find(key_);
        if (it != apartment_->stubs_.end() && it->second.expired()) apartment_->stubs_.erase(it);
        TakeReferencesLocked(&refs);
        if (!refs.empty() && !here && apartment_->single_threaded()) {
            Apartment::WorkItem release = [refs](bool) {
                for (IUnknown* p : refs)
                    p->Release();
            };
            if (apartment_->PostLocked(release)) refs.clear();
        }
    }
    for (IUnknown* p : refs)
        p->Release();
}

bool Stub::disconnected() const {
    std::lock_guard lock(apartment_->mutex_);
    return identity_ == nullptr;
}

void Stub::TakeReferencesLocked(std::vector<IUnknown*>* out) {
    if (identity_) out->push_back(std::exchange(identity_, nullptr));
    for (auto& entry : interfaces_)
        out->push_back(entry.second);
    interfaces_.clear();
}

HRESULT Stub::Interface(REFIID iid, IUnknown** object) {
    *object = nullptr;
    IUnknown* identity;
    {
        std::lock_guard lock(apartment_->mutex_);
        if (!identity_) return RPC_E_DISCONNECTED;
        if (iid == IID_IUnknown) {
            *object = identity_;
            return S_OK;
        }
        for (auto& [known, p] : interfaces_) {
            if (known == iid) {
                *object = p;
                return S_OK;
            }
        }
        identity = identity_;
        identity->AddRef();
    }
    IUnknown* p = nullptr;
    HRESULT hr = identity->QueryInterface(iid, reinterpret_cast<void**>(&p));
    identity->Release();
    if (FAILED(hr)) return hr;
    if (!p) return E_NOINTERFACE;
    IUnknown* surplus = nullptr;
    {
        std::lock_guard lock(apartment_->mutex_);
        if (!identity_) {
            surplus = p;
            hr = RPC_E_DISCONNECTED;
        } else {
            for (auto& [known, cached] : interfaces_) {
                if (known == iid) {
                    surplus = p;
                    p = cached;
                    break;
                }
            }
            if (!surplus) interfaces_.emplace_back(iid, p);
            *object = p;
        }
    }
    if (surplus) surplus->Release();
    return hr;
}

// ---- Transit carriers ------------------------------------------------------------------------

namespace {

inline constexpr IID IID_ITransitCarrier{
    0x5b3f6a11, 0x2c4e, 0x4d71, {0x9a, 0x0e, 0x61, 0x7c, 0x21, 0xd4, 0x88, 0x35}};

// Stands in an interface slot of a variant while the variant crosses to another apartment. It
// only carries the marshalled pointer; nothing calls it.
class Carrier final : public IDispatch {
  public:
    Carrier(MarshalToken token, const IID& iid) : token_(std::move(token)), iid_(iid) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_ITransitCarrier || riid == IID_IUnknown || riid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT GetTypeInfoCount(UINT*) override { return E_UNEXPECTED; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_UNEXPECTED; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_UNEXPECTED; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_UNEXPECTED;
    }

    const MarshalToken& token() const { return token_; }
    const IID& iid() const { return iid_; }

  private:
    ~Carrier() = default;
    std::atomic<ULONG> refs_{1};
    MarshalToken token_;
    IID iid_;
};

Carrier* AsCarrier(IUnknown* p) {
    void* found = nullptr;
    if (FAILED(p->QueryInterface(IID_ITransitCarrier, &found)) || !found) return nullptr;
    auto* carrier = static_cast<Carrier*>(static_cast<IDispatch*>(found));
    carrier->Release();  // the slot still holds its own reference
    return carrier;
}

// An interface slot inside a variant: either an IDispatch* or an IUnknown* location.
struct Slot {
    void* where;
    bool dispatch;
    IUnknown* get() const {
        return dispatch ? static_cast<IUnknown*>(*static_cast<IDispatch**>(where))
                        : *static_cast<IUnknown**>(where);
    }
    // Stores `p`, which must answer IDispatch when the slot is a dispatch slot.
    void set(IUnknown* p) const {
        if (dispatch)
            *static_cast<IDispatch**>(where) = static_cast<IDispatch*>(p);
        else
            *static_cast<IUnknown**>(where) = p;
    }
};

template <class F>
HRESULT Walk(VARIANT* v, F& visit, int depth) {
    if (!v || depth > 8) return S_OK;
    VARTYPE vt = v->vt;
    switch (vt) {
        case VT_DISPATCH:
            return visit(Slot{&v->pdispVal, true});
        case VT_UNKNOWN:
            return visit(Slot{&v->punkVal, false});
        case VT_BYREF | VT_DISPATCH:
            return v->ppdispVal ? visit(Slot{v->ppdispVal, true}) : S_OK;
        case VT_BYREF | VT_UNKNOWN:
            return v->ppunkVal ? visit(Slot{v->ppunkVal, false}) : S_OK;
        case VT_BYREF | VT_VARIANT:
            return Walk(v->pvarVal, visit, depth + 1);
        default:
            break;
    }
    if (!(vt & VT_ARRAY)) return S_OK;
    SAFEARRAY* array = (vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    VARTYPE element = vt & VT_TYPEMASK;
    if (!array || !array->pvData ||
        (element != VT_DISPATCH && element != VT_UNKNOWN && element != VT_VARIANT))
        return S_OK;
    size_t count = array->cDims ? 1 : 0;
    for (USHORT d = 0; d < array->cDims; ++d)
        count *= array->rgsabound[d].cElements;
    HRESULT first = S_OK;
    for (size_t i = 0; i < count; ++i) {
        HRESULT hr;
        if (element == VT_VARIANT)
            hr = Walk(static_cast<VARIANT*>(array->pvData) + i, visit, depth + 1);
        else if (element == VT_DISPATCH)
            hr = visit(Slot{static_cast<IDispatch**>(array->pvData) + i, true});
        else
            hr = visit(Slot{static_cast<IUnknown**>(array->pvData) + i, false});
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    return first;
}

}  // namespace

HRESULT MarshalVariant(VARIANT* v) {
    auto visit = [](Slot slot) -> HRESULT {
        IUnknown* p = slot.get();
        if (!p) return S_OK;
        slot.set(nullptr);
        MarshalToken token;
        HRESULT hr = MarshalInterface(p, &token);
        p->Release();
        if (FAILED(hr)) return hr;
        auto* carrier = new Carrier(std::move(token), slot.dispatch ? IID_IDispatch : IID_IUnknown);
        slot.set(static_cast<IDispatch*>(carrier));
        return S_OK;
    };
    return Walk(v, visit, 0);
}

HRESULT UnmarshalVariant(VARIANT* v) {
    auto visit = [](Slot slot) -> HRESULT {
        IUnknown* p = slot.get();
        if (!p) return S_OK;
        Carrier* carrier = AsCarrier(p);
        if (!carrier) return S_OK;
        slot.set(nullptr);
        void* object = nullptr;
        HRESULT hr = UnmarshalInterface(carrier->token(), carrier->iid(), &object);
        carrier->Release();
        if (FAILED(hr)) return hr;
        // The carrier's identifier matches the slot, so the pointer fits it.
        if (slot.dispatch)
            *static_cast<IDispatch**>(slot.where) = static_cast<IDispatch*>(object);
        else
            *static_cast<IUnknown**>(slot.where) = static_cast<IUnknown*>(object);
        return S_OK;
    };
    return Walk(v, visit, 0);
}

// ---- Proxy ------------------------------------------------------------------------------------

namespace {

bool ByReferenceCrossing(VARTYPE vt) {
    if (!(vt & VT_BYREF)) return false;
    VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || base == VT_DISPATCH || base == VT_UNKNOWN || (base & VT_ARRAY);
}

// The arguments of one call on their way to the object's apartment and back. By-reference
// arguments that hold objects travel as copies in `storage_` and are written back afterwards.
class CallFrame {
  public:
    CallFrame() = default;
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;
    ~CallFrame() {
        for (auto& v : args_)
            VariantClear(&v);
        for (auto& v : storage_)
            VariantClear(&v);
    }

    DISPPARAMS* params() { return given_ ? &params_ : nullptr; }

    // On the caller's thread.
    HRESULT Leave(const DISPPARAMS* source) {
        if (!source) return S_OK;
        given_ = true;
        UINT n = source->cArgs;
        if (n && !source->rgvarg) return E_INVALIDARG;
        args_.resize(n);
        storage_.resize(n);
        for (UINT i = 0; i < n; ++i) {
            VariantInit(&args_[i]);
            VariantInit(&storage_[i]);
        }
        params_ = {args_.data(), source->rgdispidNamedArgs, n, source->cNamedArgs};
        for (UINT i = 0; i < n; ++i) {
            const VARIANT& a = source->rgvarg[i];
            HRESULT hr =
                ByReferenceCrossing(a.vt) ? CopyReferenced(a, i) : VariantCopy(&args_[i], &a);
            if (FAILED(hr)) return hr;
        }
        HRESULT first = S_OK;
        for (auto& v : args_) {
            HRESULT hr = MarshalVariant(&v);
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
        return first;
    }

    // In the object's apartment, before the call.
    HRESULT Arrive() {
        HRESULT first = S_OK;
        for (auto& v : args_) {
            HRESULT hr = UnmarshalVariant(&v);
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
        return first;
    }

    // In the object's apartment, after the call: the arguments go, what returns is marshalled.
    HRESULT Depart(VARIANT* result) {
        for (auto& v : args_)
            VariantClear(&v);
        HRESULT first = MarshalVariant(result);
        for (size_t i = 0; i < storage_.size(); ++i) {
            if (!by_reference(i)) continue;
            HRESULT hr = MarshalVariant(&storage_[i]);
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
        }
        return first;
    }

    // Back on the caller's thread: by-reference values are written to the caller's locations.
    HRESULT Return(DISPPARAMS* target, VARIANT* result) {
        HRESULT first = UnmarshalVariant(result);
        for (size_t i = 0; i < storage_.size(); ++i) {
            if (!by_reference(i)) continue;
            VARIANT& s = storage_[i];
            HRESULT hr = UnmarshalVariant(&s);
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
            VARIANT& dest = target->rgvarg[i];
            VARTYPE base = dest.vt & ~VT_BYREF;
            if (base == VT_VARIANT) {
                VariantClear(dest.pvarVal);
                *dest.pvarVal = s;
            } else if (s.vt != base) {
                VariantClear(&s);  // the callee changed what it may not change; keep the old
            } else if (base == VT_DISPATCH) {
                std::swap(*dest.ppdispVal, s.pdispVal);
                VariantClear(&s);
            } else if (base == VT_UNKNOWN) {
                std::swap(*dest.ppunkVal, s.punkVal);
                VariantClear(&s);
            } else {
                std::swap(*dest.pparray, s.parray);
                VariantClear(&s);
            }
            s.vt = VT_EMPTY;
        }
        return first;
    }

  private:
    bool by_reference(size_t i) const { return i < references_.size() && references_[i]; }

    HRESULT CopyReferenced(const VARIANT& a, UINT i) {
        if (!a.byref) return E_INVALIDARG;
        if (references_.size() < storage_.size()) references_.resize(storage_.size(), false);
        references_[i] = true;
        VARIANT& s = storage_[i];
        VARIANT& arg = args_[i];
        VARTYPE base = a.vt & ~VT_BYREF;
        arg.vt = a.vt;
        if (base == VT_VARIANT) {
            arg.pvarVal = &s;
            return VariantCopyInd(&s, a.pvarVal);
        }
        VARIANT borrowed;
        VariantInit(&borrowed);
        borrowed.vt = base;
        if (base == VT_DISPATCH) {
            borrowed.pdispVal = *a.ppdispVal;
            arg.ppdispVal = &s.pdispVal;
        } else if (base == VT_UNKNOWN) {
            borrowed.punkVal = *a.ppunkVal;
            arg.ppunkVal = &s.punkVal;
        } else {
            borrowed.parray = *a.pparray;
            arg.pparray = &s.parray;
        }
        HRESULT hr = VariantCopy(&s, &borrowed);
        if (FAILED(hr)) s.vt = base;  // an empty slot of the right type
        return hr;
    }

    bool given_ = false;
    DISPPARAMS params_{};
    std::vector<VARIANT> args_;
    std::vector<VARIANT> storage_;
    std::vector<bool> references_;
};

}  // namespace

class Proxy final : public IDispatchEx, public IEnumVARIANT {
  public:
    Proxy(std::shared_ptr<Stub> stub, std::shared_ptr<Apartment> client)
        : stub_(std::move(stub)), client_(std::move(client)) {}

    IUnknown* identity() { return static_cast<IDispatchEx*>(this); }
    const std::shared_ptr<Stub>& stub() const { return stub_; }
    // Takes a reference unless the proxy is already on its way out.
    bool TryAddRef() {
        ULONG n = refs_.load();
        while (n != 0)
            if (refs_.compare_exchange_weak(n, n + 1)) return true;
        return false;
    }

    // IUnknown
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IBrevantoProxy) {
            *object = identity();
            AddRef();
            return S_OK;
        }
        bool answers = iid == IID_IDispatch      ? stub_->answers_dispatch_
                       : iid == IID_IDispatchEx  ? stub_->answers_dispatch_ex_
                       : iid == IID_IEnumVARIANT ? stub_->answers_enum_
                                                 : false;
        if (!answers) return E_NOINTERFACE;
        if (iid == IID_IEnumVARIANT)
            *object = static_cast<IEnumVARIANT*>(this);
        else
            *object = static_cast<IDispatchEx*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG n = --refs_;
        if (n == 0) {
            {
                std::lock_guard lock(stub_->apartment()->mutex_);
                auto it = stub_->proxies_.find(client_.get());
                if (it != stub_->proxies_.end() && it->second == this) stub_->proxies_.erase(it);
            }
            delete this;
        }
        return n;
    }

    // IDispatch. Type information stays in the object's apartment.
    HRESULT GetTypeInfoCount(UINT* count) override { return NoTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return NoTypeInfo(info); }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* dispids) override {
        return stub_->Call<IDispatch>([&](IDispatch* target) {
            return target->GetIDsOfNames(riid, names, count, lcid, dispids);
        });
    }
    HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) override {
        return RemoteInvoke<IDispatch>(
            params, result, [&](IDispatch* target, DISPPARAMS* p, VARIANT* r) {
                return target->Invoke(dispid, riid, lcid, flags, p, r, excepinfo, argerr);
            });
    }

    // IDispatchEx. The service provider of InvokeEx stays with the caller.
    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid) override {
        return stub_->Call<IDispatchEx>(
            [&](IDispatchEx* target) { return target->GetDispID(name, flags, dispid); });
    }
    HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider*) override {
        return RemoteInvoke<IDispatchEx>(
            params, result, [&](IDispatchEx* target, DISPPARAMS* p, VARIANT* r) {
                return target->InvokeEx(dispid, lcid, flags, p, r, excepinfo, nullptr);
            });
    }
    HRESULT DeleteMemberByName(BSTR name, DWORD flags) override {
        return stub_->Call<IDispatchEx>(
            [&](IDispatchEx* target) { return target->DeleteMemberByName(name, flags); });
    }
    HRESULT DeleteMemberByDispID(DISPID dispid) override {
        return stub_->Call<IDispatchEx>(
            [&](IDispatchEx* target) { return target->DeleteMemberByDispID(dispid); });
    }
    HRESULT GetMemberProperties(DISPID dispid, DWORD fetch, DWORD* properties) override {
        return stub_->Call<IDispatchEx>([&](IDispatchEx* target) {
            return target->GetMemberProperties(dispid, fetch, properties);
        });
    }
    HRESULT GetMemberName(DISPID dispid, BSTR* name) override {
        return stub_->Call<IDispatchEx>(
            [&](IDispatchEx* target) { return target->GetMemberName(dispid, name); });
    }
    HRESULT GetNextDispID(DWORD flags, DISPID dispid, DISPID* next) override {
        return stub_->Call<IDispatchEx>(
            [&](IDispatchEx* target) { return target->GetNextDispID(flags, dispid, next); });
    }
    HRESULT GetNameSpaceParent(IUnknown** parent) override {
        return RemoteOut<IDispatchEx>(
            IID_IUnknown, reinterpret_cast<void**>(parent),
            [](IDispatchEx* target, IUnknown** out) { return target->GetNameSpaceParent(out); });
    }

    // IEnumVARIANT
    HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (count && !items) return E_INVALIDARG;
        std::vector<VARIANT> got(count);
        for (auto& v : got)
            VariantInit(&v);
        ULONG n = 0;
        HRESULT hr = stub_->Call<IEnumVARIANT>([&](IEnumVARIANT* target) {
            HRESULT h = target->Next(count, got.data(), &n);
            if (n > count) n = count;
            for (ULONG i = 0; i < n; ++i)
                MarshalVariant(&got[i]);
            return h;
        });
        for (ULONG i = 0; i < n; ++i) {
            UnmarshalVariant(&got[i]);
            items[i] = got[i];
            got[i].vt = VT_EMPTY;
        }
        for (auto& v : got)
            VariantClear(&v);
        if (fetched) *fetched = n;
        return hr;
    }
    HRESULT Skip(ULONG count) override {
        return stub_->Call<IEnumVARIANT>([&](IEnumVARIANT* target) { return target->Skip(count); });
    }
    HRESULT Reset() override {
        return stub_->Call<IEnumVARIANT>([](IEnumVARIANT* target) { return target->Reset(); });
    }
    HRESULT Clone(IEnumVARIANT** copy) override {
        return RemoteOut<IEnumVARIANT>(IID_IEnumVARIANT, reinterpret_cast<void**>(copy),
                                       [](IEnumVARIANT* target, IUnknown** out) {
                                           IEnumVARIANT* clone = nullptr;
                                           HRESULT hr = target->Clone(&clone);
                                           *out = clone;
                                           return hr;
                                       });
    }

  private:
    ~Proxy() = default;

    // A dispatch call: arguments cross over, the call runs in the object's apartment, the
    // result and by-reference arguments cross back.
    template <class I, class F>
    HRESULT RemoteInvoke(DISPPARAMS* params, VARIANT* result, F&& call) {
        CallFrame frame;
        HRESULT hr = frame.Leave(params);
        if (FAILED(hr)) return hr;
        VARIANT out;
        VariantInit(&out);
        hr = stub_->Call<I>([&](I* target) {
            HRESULT h = frame.Arrive();
            if (SUCCEEDED(h)) h = call(target, frame.params(), result ? &out : nullptr);
            HRESULT m = frame.Depart(&out);
            return FAILED(h) || SUCCEEDED(m) ? h : m;
        });
        HRESULT back = frame.Return(params, &out);
        if (result)
            *result = out;
        else
            VariantClear(&out);
        return SUCCEEDED(hr) && FAILED(back) ? back : hr;
    }

    // A call whose result is one interface pointer.
    template <class I, class F>
    HRESULT RemoteOut(REFIID iid, void** object, F&& call) {
        if (!object) return E_POINTER;
        *object = nullptr;
        MarshalToken token;
        HRESULT hr = stub_->Call<I>([&](I* target) {
            IUnknown* p = nullptr;
            HRESULT h = call(target, &p);
            if (p) {
                HRESULT m = MarshalInterface(p, &token);
                p->Release();
                if (FAILED(m) && SUCCEEDED(h)) h = m;
            }
            return h;
        });
        if (!token.empty()) {
            HRESULT u = UnmarshalInterface(token, iid, object);
            if (FAILED(u) && SUCCEEDED(hr)) hr = u;
        }
        return hr;
    }

    std::atomic<ULONG> refs_{1};
    std::shared_ptr<Stub> stub_;
    std::shared_ptr<Apartment> client_;
};

ComPtr<IUnknown> Stub::ProxyFor(const std::shared_ptr<Stub>& stub,
                                const std::shared_ptr<Apartment>& client) {
    ComPtr<IUnknown> result;
    std::lock_guard lock(stub->apartment_->mutex_);
    Proxy*& slot = stub->proxies_[client.get()];
    if (slot && slot->TryAddRef()) {
        result.Attach(slot->identity());
        return result;
    }
    slot = new Proxy(stub, client);
    result.Attach(slot->identity());
    return result;
}

std::shared_ptr<Stub> StubOfProxy(IUnknown* object) {
    void* found = nullptr;
    if (!object || FAILED(object->QueryInterface(IID_IBrevantoProxy, &found)) || !found)
        return nullptr;
    auto* proxy = static_cast<Proxy*>(static_cast<IDispatchEx*>(static_cast<IUnknown*>(found)));
    std::shared_ptr<Stub> stub = proxy->stub();
    proxy->Release();
    return stub;
}

HRESULT MarshalInterface(IUnknown* object, MarshalToken* token) {
    if (!token) return E_POINTER;
    *token = {};
    if (!object) return S_OK;
    if (auto stub = StubOfProxy(object)) {
        token->stub = std::move(stub);
        return S_OK;
    }
    IUnknown* marshaler = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshaler))) &&
        marshaler) {
        marshaler->Release();
        token->agile = object;
        return S_OK;
    }
    IUnknown* identity = nullptr;
    HRESULT hr = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    if (FAILED(hr)) return hr;
    if (!identity) return E_NOINTERFACE;
    token->stub = Apartment::Current()->StubFor(identity);
    identity->Release();
    return S_OK;
}

HRESULT UnmarshalInterface(const MarshalToken& token, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (token.agile) return token.agile->QueryInterface(iid, object);
    if (!token.stub) return S_OK;
    const std::shared_ptr<Stub>& stub = token.stub;
    if (stub->disconnected()) return RPC_E_DISCONNECTED;
    if (stub->apartment()->IsCurrent()) {
        IUnknown* identity = nullptr;
        HRESULT hr = stub->Interface(IID_IUnknown, &identity);
        if (FAILED(hr)) return hr;
        return identity->QueryInterface(iid, object);
    }
    ComPtr<IUnknown> proxy = Stub::ProxyFor(stub, Apartment::Current());
    return proxy->QueryInterface(iid, object);
}

}  // namespace brevanto
