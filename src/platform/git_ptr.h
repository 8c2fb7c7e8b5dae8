// CComGITPtr2: an interface kept in the process's global interface table, so that any thread can
// fetch a pointer to it that is valid on that thread. It is the one way a script object crosses
// from one thread to another.
#pragma once

#include <utility>

#include "platform/apartment.h"
#include "platform/comptr.h"

template <class T>
class CComGITPtr2 {
  public:
    CComGITPtr2() noexcept = default;
    // Registers `object`; a failure is raised as HResultError.
    explicit CComGITPtr2(T* object) { ThrowIfFailed(Attach(object)); }
    // A copy is a registration of its own, under a new cookie.
    CComGITPtr2(const CComGITPtr2& other) { ThrowIfFailed(AttachCopyOf(other)); }
    CComGITPtr2(CComGITPtr2&& other) noexcept : cookie_(std::exchange(other.cookie_, 0)) {}
    ~CComGITPtr2() { Revoke(); }

    CComGITPtr2& operator=(const CComGITPtr2& other) {
        if (this != &other) ThrowIfFailed(AttachCopyOf(other));
        return *this;
    }
    CComGITPtr2& operator=(CComGITPtr2&& other) {
        if (this != &other) {
            ThrowIfFailed(Revoke());
            cookie_ = std::exchange(other.cookie_, 0);
        }
        return *this;
    }
    CComGITPtr2& operator=(T* object) {
        ThrowIfFailed(Attach(object));
        return *this;
    }

    // Revokes the registration held (a failure stops here and is returned), then registers
    // `object` under T's identifier. A null object leaves the holder empty.
    HRESULT Attach(T* object) {
        HRESULT hr = Revoke();
        if (FAILED(hr) || !object) return hr;
        ComPtr<IGlobalInterfaceTable> git;
        hr = CoGetGlobalInterfaceTable(git.put());
        if (FAILED(hr)) return hr;
        DWORD cookie = 0;
        hr = git->RegisterInterfaceInGlobal(object, uuidof<T>(), &cookie);
        if (SUCCEEDED(hr)) cookie_ = cookie;
        return hr;
    }
    // Takes over a registration made elsewhere.
    HRESULT Attach(DWORD cookie) {
        HRESULT hr = Revoke();
        if (SUCCEEDED(hr)) cookie_ = cookie;
        return hr;
    }
    // Gives up the registration without revoking it.
    DWORD Detach() noexcept { return std::exchange(cookie_, 0); }

    // Fetches the interface for the calling thread, with a reference of the caller's own.
    HRESULT CopyTo(T** object) const {
        if (!object) return E_POINTER;
        *object = nullptr;
        ComPtr<IGlobalInterfaceTable> git;
        HRESULT hr = CoGetGlobalInterfaceTable(git.put());
        if (FAILED(hr)) return hr;
        return git->GetInterfaceFromGlobal(cookie_, uuidof<T>(), reinterpret_cast<void**>(object));
    }
    // The interface for the calling thread; null when the fetch fails.
    ComPtr<T> Get() const {
        ComPtr<T> p;
        CopyTo(p.put());
        return p;
    }

    HRESULT Revoke() {
        if (!cookie_) return S_OK;
        ComPtr<IGlobalInterfaceTable> git;
        HRESULT hr = CoGetGlobalInterfaceTable(git.put());
        if (SUCCEEDED(hr)) hr = git->RevokeInterfaceFromGlobal(cookie_);
        if (SUCCEEDED(hr)) cookie_ = 0;
        return hr;
    }

    DWORD GetCookie() const noexcept { return cookie_; }
    bool empty() const noexcept { return cookie_ == 0; }
    explicit operator bool() const noexcept { return cookie_ != 0; }

  private:
    HRESULT AttachCopyOf(const CComGITPtr2& other) {
        if (!other.cookie_) return Revoke();
        ComPtr<T> object;
        HRESULT hr = other.CopyTo(object.put());
        if (FAILED(hr)) return hr;
        return Attach(object.get());
    }

    DWORD cookie_ = 0;
};
