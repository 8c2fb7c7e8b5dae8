// Smart pointer that owns one reference to an interface (the platform's CComPtr).
#pragma once

#include <utility>

#include "platform/unknown.h"

template <class T>
class ComPtr {
  public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
    ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.get())) {}
    ~ComPtr() { Release(); }

    ComPtr& operator=(T* p) noexcept {
        if (p) p->AddRef();
        Release();
        p_ = p;
        return *this;
    }
    ComPtr& operator=(const ComPtr& other) noexcept { return *this = other.p_; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Release();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        Release();
        return *this;
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator T*() const noexcept { return p_; }

    // Out-slot for functions that return a new reference; the old one is released first.
    T** put() noexcept {
        Release();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    void Release() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    void Attach(T* p) noexcept {
        Release();
        p_ = p;
    }
    T* Detach() noexcept { return std::exchange(p_, nullptr); }
    // Hands out a new reference.
    HRESULT CopyTo(T** out) const noexcept {
        if (!out) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT As(ComPtr<Q>* out) const noexcept {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(uuidof<Q>(), out->put_void());
    }
    template <class Q>
    ComPtr<Q> As() const noexcept {
        ComPtr<Q> q;
        if (p_) p_->QueryInterface(uuidof<Q>(), q.put_void());
        return q;
    }

  private:
    T* p_ = nullptr;
};

template <class T>
bool operator==(const ComPtr<T>& a, std::nullptr_t) noexcept {
    return a.get() == nullptr;
}
