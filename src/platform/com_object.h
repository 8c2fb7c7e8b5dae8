// Object implementation: QueryInterface, reference counting, aggregation, embedded objects and
// creation, written once for every class.
//
// A class names the interfaces it answers as template arguments of its root:
//
//   class CPacketOb : public ComObjectRoot<CPacketOb, DispatchImpl<IPacket>, _IInternalPacket,
//                                          MyIObjectSafetyImpl, IMarshal> { ... };
//
// Each entry is an interface or an implementation class of one (a class that derives from the
// interface and names it as `using Interface = I;`). The root derives from every entry. The
// class itself stays abstract in IUnknown; the form it is built in supplies QueryInterface,
// AddRef and Release:
//
//   ComObject<T>          a separately allocated object with its own atomic count;
//   ComAggObject<T>       the aggregatable form: identity and counting belong to an outer object,
//                         the inner identity object counts its own references;
//   ComObjectEmbedded<T>  a member of another object: AddRef and Release do nothing.
//
// Query rules: IUnknown gives the same pointer for every query (the first entry that is an
// IUnknown); IDispatch is answered by the first entry that derives from IDispatch; an interface
// that declares `using Base = X;` also answers X's identifier. Interfaces that declare
// `static constexpr bool kUncounted = true` (the internal identity interfaces) are handed out
// without a reference. Listing IMarshal marks the object agile: it is called directly from any
// thread, without a proxy. Anything else goes to the class's QueryInterfaceHook, then fails with
// E_NOINTERFACE and a null out-pointer.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/boundary.h"
#include "platform/comptr.h"
#include "platform/lock.h"
#include "platform/unknown.h"

// The lock count of the module: live separately allocated objects plus server locks. Every
// ComObject and ComAggObject holds one count for its lifetime (unless its class sets
// kCountsModuleLock to false); DllCanUnloadNow reads it.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// True when the object is agile (answers IMarshal): it may be called from any thread directly.
bool IsAgileObject(IUnknown* object) noexcept;

namespace com_detail {

template <class E>
struct InterfaceOfT {
    using type = E;
};
template <class E>
requires requires {
    typename E::Interface;
}
struct InterfaceOfT<E> {
    using type = typename E::Interface;
};
// The interface an entry stands for (the entry itself, or the one its implementation names).
template <class E>
using InterfaceOf = typename InterfaceOfT<E>::type;

template <class I>
constexpr bool IsUncounted() {
    if constexpr (requires { I::kUncounted; })
        return I::kUncounted;
    else
        return false;
}

// The interface pointer p as riid, following declared base interfaces; null when it is none.
template <class I>
void* CastTo(I* p, REFIID riid) {
    if (riid == uuidof<I>()) return p;
    if constexpr (requires { typename I::Base; }) {
        using B = typename I::Base;
        if constexpr (!std::is_same_v<B, IUnknown> && !std::is_same_v<B, IDispatch>)
            return CastTo<B>(static_cast<B*>(p), riid);
    }
    return nullptr;
}

template <class... E>
struct FirstUnknown;
template <class E, class... Rest>
struct FirstUnknown<E, Rest...> {
    using type = std::conditional_t<std::is_base_of_v<IUnknown, InterfaceOf<E>>, E,
                                    typename FirstUnknown<Rest...>::type>;
};
template <>
struct FirstUnknown<> {
    using type = void;
};

// Keeps one module lock for the lifetime of the object that derives from it first, so the count
// drops only after every member has been destroyed.
template <class T>
struct ModuleLockHolder {
    ModuleLockHolder() noexcept {
        if constexpr (T::kCountsModuleLock) ModuleLock();
    }
    ~ModuleLockHolder() {
        if constexpr (T::kCountsModuleLock) ModuleUnlock();
    }
    ModuleLockHolder(const ModuleLockHolder&) = delete;
    ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

inline HRESULT RunFinalConstruct(auto* object) noexcept {
    return StatusOf([&] { return object->FinalConstruct(); });
}

}  // namespace com_detail

template <class Derived, class... Entries>
class ComObjectRoot : public Entries... {
    using Identity = typename com_detail::FirstUnknown<Entries...>::type;
    static_assert(!std::is_void_v<Identity>, "an object answers at least one IUnknown interface");

  public:
    // Classes that refuse to be aggregated hide this with false (CLASS_E_NOAGGREGATION).
    static constexpr bool kAggregatable = true;
    // Classes whose objects must not keep the module loaded (class factories) hide this.
    static constexpr bool kCountsModuleLock = true;

    // One implementation for every entry; supplied by the form the object is built in.
    HRESULT QueryInterface(REFIID riid, void** object) override = 0;
    ULONG AddRef() override = 0;
    ULONG Release() override = 0;
    template <class Q>
    HRESULT QueryInterface(Q** object) {
        return QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(object));
    }

    // Steps the class may hide: run once after construction with a temporary reference (a
    // failure destroys the object), and once before destruction.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    // Extra answers after the entry list; must set *object with a reference of its own.
    HRESULT QueryInterfaceHook(REFIID, void**) { return E_NOINTERFACE; }

    // The object's identity inside this object (not the outer one when aggregated).
    IUnknown* GetUnknown() noexcept {
        return static_cast<IUnknown*>(
            static_cast<com_detail::InterfaceOf<Identity>*>(static_cast<Derived*>(this)));
    }
    // The identity callers see: the outer object when aggregated.
    IUnknown* GetControllingUnknown() noexcept { return outer_ ? outer_ : GetUnknown(); }

    // The entry list lookup with the platform's rules; counted through this->AddRef().
    HRESULT InternalQueryInterface(REFIID riid, void** object) {
        if (!object) return E_POINTER;
        *object = nullptr;
        bool counted = true;
        void* found = FindInterface(riid, &counted);
        if (!found) {
            HRESULT hr = static_cast<Derived*>(this)->QueryInterfaceHook(riid, object);
            if (FAILED(hr)) *object = nullptr;
            return hr;
        }
        if (counted) AddRef();
        *object = found;
        return S_OK;
    }

    // For a record that points at this separately allocated object without owning it and is
    // read on other threads (a weak pointer): takes a reference unless the last reference has
    // already gone, in which case the object is being destroyed and the answer is false. An
    // embedded object lives as long as its owner and counts nothing: always true.
    bool TryAddRef() noexcept {
        if (embedded_) return true;
        ULONG count = ref_.load();
        do {
            if (count == 0) return false;
        } while (!ref_.compare_exchange_weak(count, count + 1));
        // The count may have been revived for the destruction itself (see ComObject::Release).
        if (released_.load()) {
            --ref_;
            return false;
        }
        return true;
    }

    // The object's own lock (recursive, like every lock of the library); held by ObjectLock
    // for a scope.
    void Lock() { lock_.Lock(); }
    void Unlock() { lock_.Unlock(); }
    class ObjectLock : public CScopedLock {
      public:
        explicit ObjectLock(ComObjectRoot* object) : CScopedLock(object->lock_) {}
    };

  protected:
    ComObjectRoot() = default;
    ~ComObjectRoot() = default;
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;

    // Count of the plain and aggregated forms (the aggregated form counts on its inner object).
    std::atomic<ULONG> ref_{0};
    // Set when the last reference went, before the count is revived for the destruction.
    std::atomic<bool> released_{false};
    // Built as ComObjectEmbedded: a member of another object, which keeps it.
    bool embedded_ = false;
    // The controlling object when aggregated, else null.
    IUnknown* outer_ = nullptr;

  private:
    void* FindInterface(REFIID riid, bool* counted) {
        Derived* self = static_cast<Derived*>(this);
        if (riid == IID_IUnknown) return GetUnknown();
        void* found = nullptr;
        auto try_entry = [&]<class E>(E*) {
            using I = com_detail::InterfaceOf<E>;
            if (found) return;
            I* p = static_cast<I*>(self);
            if constexpr (std::is_base_of_v<IDispatch, I>) {
                if (riid == IID_IDispatch) {
                    found = static_cast<IDispatch*>(p);
                    return;
                }
            }
            if ((found = com_detail::CastTo<I>(p, riid))) *counted = !com_detail::IsUncounted<I>();
        };
        (try_entry(static_cast<Entries*>(nullptr)), ...);
        return found;
    }

    CCriticalSectionEx lock_;
};

// A separately allocated object with its own atomic reference count.
template <class T>
class ComObject final : private com_detail::ModuleLockHolder<T>, public T {
  public:
    template <class... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {}
    ~ComObject() { T::FinalRelease(); }

    using T::QueryInterface;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return this->InternalQueryInterface(riid, object);
    }
    ULONG AddRef() override { return ++this->ref_; }
    ULONG Release() override {
        ULONG count = --this->ref_;
        if (count == 0) {
            // Keeps AddRef/Release pairs during FinalRelease from destroying the object again;
            // TryAddRef sees the flag and stays away.
            this->released_ = true;
            this->ref_ = 1;
            delete this;
        }
        return count;
    }

    // Builds the object and runs its final construction; *out gets it with one reference.
    template <class... Args>
    static HRESULT CreateInstance(ComObject** out, Args&&... args) {
        if (!out) return E_POINTER;
        *out = nullptr;
        ComObject* object = nullptr;
        // A constructor that fails reports why; allocation itself gives E_OUTOFMEMORY.
        HRESULT made = StatusOf([&] { object = new ComObject(std::forward<Args>(args)...); });
        if (!object) return FAILED(made) ? made : E_OUTOFMEMORY;
        object->ref_ = 1;  // the temporary reference that final construction runs under
        HRESULT hr = com_detail::RunFinalConstruct(static_cast<T*>(object));
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }
};

// An aggregated object as its outer object sees it: identity and counting go to the outer.
template <class T>
class ComContainedObject final : public T {
  public:
    template <class... Args>
    explicit ComContainedObject(IUnknown* outer, Args&&... args) : T(std::forward<Args>(args)...) {
        this->outer_ = outer;
    }
    ~ComContainedObject() { T::FinalRelease(); }

    using T::QueryInterface;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return this->outer_->QueryInterface(riid, object);
    }
    ULONG AddRef() override { return this->outer_->AddRef(); }
    ULONG Release() override { return this->outer_->Release(); }
};

// The aggregatable form: this is the inner, non-delegating identity that only the outer object
// holds; it counts its own references and hands out the contained object's interfaces.
template <class T>
class ComAggObject final : private com_detail::ModuleLockHolder<T>, public IUnknown {
  public:
    template <class... Args>
    explicit ComAggObject(IUnknown* outer, Args&&... args)
        : contained_(outer, std::forward<Args>(args)...) {}
    ~ComAggObject() = default;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown) {
            *object = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return contained_.InternalQueryInterface(riid, object);
    }
    ULONG AddRef() override { return ++ref_; }
    ULONG Release() override {
        ULONG count = --ref_;
        if (count == 0) {
            ref_ = 1;
            delete this;
        }
        return count;
    }

    T* Contained() noexcept { return &contained_; }

    // Builds the inner object for `outer` and runs its final construction; *out gets the inner
    // identity with one reference.
    template <class... Args>
    static HRESULT CreateInstance(IUnknown* outer, ComAggObject** out, Args&&... args) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!outer) return E_INVALIDARG;
        ComAggObject* object = nullptr;
        HRESULT made =
            StatusOf([&] { object = new ComAggObject(outer, std::forward<Args>(args)...); });
        if (!object) return FAILED(made) ? made : E_OUTOFMEMORY;
        object->ref_ = 1;
        HRESULT hr = com_detail::RunFinalConstruct(static_cast<T*>(&object->contained_));
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }

  private:
    std::atomic<ULONG> ref_{0};
    // Set when the last reference went, before the count is revived for the destruction.
    std::atomic<bool> released_{false};
    ComContainedObject<T> contained_;
};

// A member of another object: its lifetime is the member's, so AddRef and Release do nothing
// and return 0. The owner runs FinalConstruct itself when the class needs it.
template <class T>
class ComObjectEmbedded final : public T {
  public:
    template <class... Args>
    explicit ComObjectEmbedded(Args&&... args) : T(std::forward<Args>(args)...) {
        this->embedded_ = true;
    }
    ~ComObjectEmbedded() { T::FinalRelease(); }

    using T::QueryInterface;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return this->InternalQueryInterface(riid, object);
    }
    ULONG AddRef() override { return 0; }
    ULONG Release() override { return 0; }
};

// Creates a plain object of class T with one reference, held by *out.
template <class T, class... Args>
HRESULT MakeComObject(ComPtr<T>* out, Args&&... args) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComObject<T>* object = nullptr;
    HRESULT hr = ComObject<T>::CreateInstance(&object, std::forward<Args>(args)...);
    if (SUCCEEDED(hr)) out->Attach(object);
    return hr;
}

// The instance creator of a class factory: the plain form, or the aggregatable form when an
// outer object is given (then only IUnknown may be asked for).
template <class T>
HRESULT CreateComInstance(IUnknown* outer, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) {
        if constexpr (!T::kAggregatable) {
            return CLASS_E_NOAGGREGATION;
        } else {
            if (riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
            ComAggObject<T>* inner = nullptr;
            HRESULT hr = ComAggObject<T>::CreateInstance(outer, &inner);
            if (FAILED(hr)) return hr;
            *object = static_cast<IUnknown*>(inner);
            return S_OK;
        }
    }
    ComObject<T>* instance = nullptr;
    HRESULT hr = ComObject<T>::CreateInstance(&instance);
    if (FAILED(hr)) return hr;
    hr = instance->QueryInterface(riid, object);
    instance->Release();  // destroys the object when the query failed
    return hr;
}
