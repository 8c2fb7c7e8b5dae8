// An object that counts its references without ever freeing itself, so a test can keep it on the
// stack and read the count. It answers IUnknown and `I`; a derived class adds what `I` declares.
#pragma once

#include "platform/unknown.h"

template <class I = IUnknown>
class Counted : public I {
  public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == uuidof<I>() ? static_cast<I*>(this) : nullptr;
        if (*out) AddRef();
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG refs = 1;
};
