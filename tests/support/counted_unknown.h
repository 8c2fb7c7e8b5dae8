// An object that answers IUnknown only and counts its references without ever freeing itself,
// so a test can keep it on the stack and read the count.
#pragma once

#include "platform/unknown.h"

class CountedUnknown : public IUnknown {
  public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown ? this : nullptr;
        if (*out) AddRef();
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
};
