// IObjectSafety as every safe-for-scripting class of the library answers it.
#pragma once

#include <atomic>

#include "platform/unknown.h"

// Supported options are always "safe for untrusted caller" and "safe for untrusted data"; the
// current options start with both. Neither call looks at the interface identifier or refuses.
class MyIObjectSafetyImpl : public IObjectSafety {
  public:
    using Interface = IObjectSafety;
    static constexpr DWORD kSupported =
        INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

    HRESULT GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) override {
        if (!supported || !enabled) return E_POINTER;
        *supported = kSupported;
        *enabled = current_.load(std::memory_order_relaxed);
        return S_OK;
    }
    HRESULT SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) override {
        mask &= kSupported;
        DWORD current = current_.load(std::memory_order_relaxed);
        while (!current_.compare_exchange_weak(current, (current & ~mask) | (enabled & mask),
                                               std::memory_order_relaxed)) {
        }
        return S_OK;
    }

  protected:
    ~MyIObjectSafetyImpl() = default;

  private:
    std::atomic<DWORD> current_{kSupported};
};
