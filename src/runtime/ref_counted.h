// Intrusive reference counting of native objects and the smart references that own a count.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/types.h"

// Base of every reference-counted native object. Derived classes inherit it virtually, so an
// object that reaches it along several paths has one count. The count starts at 0: the first
// ref<T> that takes the object raises it to 1, and the last one to let go destroys it.
class RefCounted {
  public:
    virtual ~RefCounted() = default;
    virtual LONG Increment() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
    // acq_rel so that every holder's writes happen before the destruction by the last one.
    virtual LONG Decrement() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    virtual LONG AddRef() { return Increment(); }
    virtual LONG Release() {
        const LONG count = Decrement();
        if (count == 0) delete this;
        return count;
    }

    LONG RefCount() const { return count_.load(std::memory_order_relaxed); }

  protected:
    RefCounted() = default;
    // A copied object is a new object: it starts without holders.
    RefCounted(const RefCounted&) noexcept {}
    RefCounted& operator=(const RefCounted&) noexcept { return *this; }

  private:
    std::atomic<LONG> count_{0};
};

// Owns one count of a T (or holds null). One ref is used by one thread at a time; the object
// it points to may be shared.
template <class T>
class ref {
  public:
    ref() noexcept = default;
    ref(std::nullptr_t) noexcept {}
    ref(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ref(const ref& other) : ref(other.p_) {}
    ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> ref(const ref<U>& other)
        : ref(static_cast<T*>(other.get())) {}
    virtual ~ref() { reset(); }

    // Assigning the held pointer does nothing. The new object is counted before the old one
    // is released, so assigning an object that only the old one keeps alive is safe.
    ref& operator=(T* p) {
        if (p == p_) return *this;
        if (p) p->AddRef();
        T* old = std::exchange(p_, p);
        if (old) old->Release();
        return *this;
    }
    ref& operator=(const ref& other) { return *this = other.p_; }
    ref& operator=(ref&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ref& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    void reset() {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    friend bool operator==(const ref& a, const ref& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }
    friend bool operator==(const ref& a, const T* b) noexcept { return a.p_ == b; }

  private:
    T* p_ = nullptr;
};

// A ref<T> made by a checked down-cast from a ref or pointer of another type; null when the
// object is not a T.
template <class T>
class dcast_ref : public ref<T> {
  public:
    template <class U>
    explicit dcast_ref(const ref<U>& other) : ref<T>(dynamic_cast<T*>(other.get())) {}
    template <class U>
    explicit dcast_ref(U* other) : ref<T>(dynamic_cast<T*>(other)) {}
};
