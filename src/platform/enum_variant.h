// Enumerator of variants over a snapshot: the list it walks is fixed when the enumerator is made,
// so a collection changed during a `for each` cannot pull the ground from under it.
#pragma once

#include <memory>
#include <vector>

#include "platform/com_object.h"
#include "platform/variant.h"

// Converter: `static HRESULT ToVariant(const Item&, VARIANT* out)` with `out` initialised.
template <class Item, class Converter>
class CEnumVARIANT : public ComObjectRoot<CEnumVARIANT<Item, Converter>, IEnumVARIANT, IMarshal> {
  public:
    using Snapshot = std::shared_ptr<const std::vector<Item>>;

    explicit CEnumVARIANT(Snapshot items, size_t position = 0)
        : items_(std::move(items)), position_(position) {}

    // A new enumerator with one reference, positioned at the first item.
    static HRESULT Create(Snapshot items, IEnumVARIANT** out, size_t position = 0) {
        if (!out) return E_POINTER;
        *out = nullptr;
        ComPtr<CEnumVARIANT> e;
        HRESULT hr = MakeComObject(&e, std::move(items), position);
        if (FAILED(hr)) return hr;
        *out = e.Detach();
        return S_OK;
    }

    HRESULT Next(ULONG count, VARIANT* slots, ULONG* fetched) override {
        if (!slots) return E_POINTER;
        for (ULONG i = 0; i < count; ++i)
            VariantInit(&slots[i]);
        ULONG copied = 0;
        const size_t size = items_ ? items_->size() : 0;
        while (copied < count && position_ < size) {
            // An item that cannot be made a value (its apartment has ended) is passed over.
            if (SUCCEEDED(Converter::ToVariant((*items_)[position_++], &slots[copied]))) ++copied;
        }
        if (fetched) *fetched = copied;
        return copied == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        const size_t size = items_ ? items_->size() : 0;
        position_ = count >= size - position_ ? size : position_ + count;
        return position_ == size ? S_FALSE : S_OK;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumVARIANT** copy) override { return Create(items_, copy, position_); }

  private:
    Snapshot items_;
    size_t position_;
};

// Items that are already values.
struct VariantCopyConverter {
    static HRESULT ToVariant(const CComVariant& item, VARIANT* out) {
        return VariantCopy(out, &item);
    }
};
using CEnumVariantValues = CEnumVARIANT<CComVariant, VariantCopyConverter>;
