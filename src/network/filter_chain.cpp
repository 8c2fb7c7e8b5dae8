#include "network/filter_chain.h"

#include <algorithm>
#include <utility>

#include "platform/boundary.h"

#include "platform/boundary.h"

namespace {

// The filter core of an object, or null when it is no filter.
ref<FilterBase> FilterOf(IUnknown* object) {
    if (!object) return nullptr;
    _IInternalFilter* internal = nullptr;  // not counted
    if (FAILED(object->QueryInterface(&internal)) || !internal) return nullptr;
    FilterBase* filter = nullptr;
    if (FAILED(internal->GetFilter(&filter))) return nullptr;
    return ref<FilterBase>(filter);
}

ComPtr<IUnknown> ObjectOf(const VARIANT& value) {
    CComVariant object;
    if (FAILED(VariantChangeType(&object, &value, 0, VT_UNKNOWN)) || !object.punkVal)
        return nullptr;
    return ComPtr<IUnknown>(object.punkVal);
}

}  // namespace

CPacketFilters::CPacketFilters() : chain_(std::make_shared<Chain>()) {}

CPacketFilters::List CPacketFilters::Filters() const {
    CScopedLock lock(lock_);
    List filters;
    filters.reserve(live_);
    for (const ref<FilterBase>& filter : chain_->entries)
        if (filter) filters.push_back(filter);
    return filters;
}

CPacketFilters::Chain& CPacketFilters::WritableLocked() {
    // A pass starts only under the lock, so none can start while this holds it; the acquire
    // pairs with the release of the last pass that ended.
    if (chain_->passes.load(std::memory_order_acquire) != 0) {
        auto copy = std::make_shared<Chain>();
        copy->entries = chain_->entries;
        chain_ = std::move(copy);
    }
    return *chain_;
}

ref<FilterBase> CPacketFilters::TakeEntryLocked(std::size_t entry) {
    Chain& chain = WritableLocked();
    ref<FilterBase> taken = std::move(chain.entries[entry]);
    auto [first, last] = entries_of_.equal_range(taken.get());
    for (auto it = first; it != last; ++it) {
        if (it->second == entry) {
            entries_of_.erase(it);
            break;
        }
    }
    --live_;
    return taken;
}

void CPacketFilters::CompactIfSparseLocked() {
    constexpr std::size_t kFewHoles = 16;
    if (chain_->entries.size() - live_ <= std::max(live_, kFewHoles)) return;
    Chain& chain = WritableLocked();
    std::erase(chain.entries, nullptr);
    entries_of_.clear();
    for (std::size_t i = 0; i < chain.entries.size(); ++i)
        entries_of_.emplace(chain.entries[i].get(), i);
}

HRESULT CPacketFilters::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    CScopedLock lock(lock_);
    *pVal = static_cast<LONG>(live_);
    return S_OK;
}

HRESULT CPacketFilters::Add(VARIANT Ob) {
    return StatusOf([&] {
        CComVariant value;
        HRESULT hr = VariantCopyInd(&value, &Ob);
        if (FAILED(hr)) return hr;
        ComPtr<IPlaceHolder> placeholder;
        ComPtr<IUnknown> object;
        if (value.vt == VT_UNKNOWN && value.punkVal &&
            SUCCEEDED(value.punkVal->QueryInterface(placeholder.put())) && placeholder) {
            CComVariant dependant;
            if (SUCCEEDED(placeholder->get_Dependant(&dependant))) object = ObjectOf(dependant);
        } else {
            object = ObjectOf(value);
        }
        ref<FilterBase> filter = FilterOf(object.get());
        if (!filter) return E_NOINTERFACE;
        AppendFilter(std::move(filter));
        if (placeholder) placeholder->Register(nullptr);
        return S_OK;
    });
}

HRESULT CPacketFilters::Remove(LONG Index) {
    return StatusOf([&] {
        ref<FilterBase> removed;
        {
            CScopedLock lock(lock_);
            if (Index < 0 || static_cast<std::size_t>(Index) >= live_) return E_INVALIDARG;
            const List& entries = chain_->entries;
            std::size_t entry = static_cast<std::size_t>(Index);
            if (entries.size() != live_) {  // skip the holes
                LONG seen = -1;
                for (entry = 0; entry < entries.size(); ++entry)
                    if (entries[entry] && ++seen == Index) break;
            }
            removed = TakeEntryLocked(entry);
            CompactIfSparseLocked();
        }
        removed->Cleanup();
        return S_OK;
    });
}

void CPacketFilters::AppendFilter(ref<FilterBase> filter) {
    if (!filter) return;
    CScopedLock lock(lock_);
    Chain& chain = WritableLocked();
    const FilterBase* key = filter.get();
    chain.entries.push_back(std::move(filter));
    // Not a boundary: the append is undone and the failure goes on to the caller's StatusOf.
    try {
        entries_of_.emplace(key, chain.entries.size() - 1);
    } catch (...) {
        chain.entries.pop_back();
        throw;
    }
    ++live_;
}

bool CPacketFilters::AppendFilterOnce(ref<FilterBase> filter) {
    if (!filter) return false;
    CScopedLock lock(lock_);  // recursive: AppendFilter takes it again
    if (entries_of_.count(filter.get())) return false;
    AppendFilter(std::move(filter));
    return true;
}

bool CPacketFilters::RunFilters(ref<PacketBase> packet) {
    // Filters added or removed by callbacks during the pass take effect from the next one: the
    // pass walks the chain as it was when it began, and changes meanwhile go to a copy.
    std::shared_ptr<Chain> chain;
    {
        CScopedLock lock(lock_);
        chain = chain_;
        chain->passes.fetch_add(1, std::memory_order_relaxed);
    }
    struct PassEnd {
        Chain& chain;
        ~PassEnd() { chain.passes.fetch_sub(1, std::memory_order_release); }
    } end{*chain};
    for (const ref<FilterBase>& filter : chain->entries) {
        if (!filter) continue;
        LONG consumed = 0;
        filter->ProcessPacket(packet, &consumed);
        if (consumed == 1) return true;
    }
    return false;
}

void CPacketFilters::FilterAndPurge(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 0;
    if (RunFilters(std::move(packet))) *consumed = 1;
    PurgeDestroyed();
}

void CPacketFilters::PurgeDestroyed() {
    List removed;
    {
        CScopedLock lock(lock_);
        // Through chain_ each time: taking an entry may replace the chain by a copy.
        for (std::size_t i = 0; i < chain_->entries.size(); ++i) {
            const ref<FilterBase>& filter = chain_->entries[i];
            if (filter && filter->DestroyNow != 0) removed.push_back(TakeEntryLocked(i));
        }
        if (!removed.empty()) CompactIfSparseLocked();
    }
    for (const ref<FilterBase>& filter : removed)
        filter->Cleanup();
}

void CPacketFilters::RemoveFilter(const ref<FilterBase>& filter) {
    {
        CScopedLock lock(lock_);
        auto [first, last] = entries_of_.equal_range(filter.get());
        if (first == last) return;
        std::size_t entry = first->second;
        for (auto it = first; it != last; ++it)
            entry = std::min(entry, it->second);
        TakeEntryLocked(entry);
        CompactIfSparseLocked();
    }
    filter->Cleanup();
}

HRESULT CPacketFilters::RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD*) {
    if (!dispid || *dispid != IPacketFilters::kDispidAdd) return S_OK;
    if (!params || params->cArgs != 1 || !params->rgvarg) return DISP_E_BADPARAMCOUNT;
    ComPtr<IUnknown> object = ObjectOf(params->rgvarg[0]);
    ComPtr<IPacketFilter> filter;
    if (!object || FAILED(object->QueryInterface(filter.put())) || !filter) return E_NOINTERFACE;
    ComPtr<IPlaceHolder> placeholder;
    HRESULT hr = FilterCollectionPlaceHolder::Create(object.get(), this, placeholder.put());
    if (FAILED(hr)) return hr;
    VariantClear(&params->rgvarg[0]);
    params->rgvarg[0].vt = VT_UNKNOWN;
    params->rgvarg[0].punkVal = placeholder.Detach();
    return S_OK;
}

HRESULT CPacketFilters::Destroy() {
    std::shared_ptr<Chain> chain;
    {
        CScopedLock lock(lock_);
        chain = std::exchange(chain_, std::make_shared<Chain>());
        entries_of_.clear();
        live_ = 0;
    }
    for (const ref<FilterBase>& filter : chain->entries)
        if (filter) filter->Cleanup();
    return S_OK;
}

// ---- FilterCollectionPlaceHolder ----

HRESULT FilterCollectionPlaceHolder::Create(IUnknown* filter, CPacketFilters* collection,
                                            IPlaceHolder** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<FilterCollectionPlaceHolder> p;
    HRESULT hr = MakeComObject(&p);
    if (FAILED(hr)) return hr;
    CComVariant dependant(filter);
    hr = p->put_Dependant(dependant);
    if (FAILED(hr)) return hr;
    p->collection_ = collection;
    return p->QueryInterface(out);
}

HRESULT FilterCollectionPlaceHolder::Register(IDispatch*) {
    return AddToContext();
}

HRESULT FilterCollectionPlaceHolder::Remove() {
    ComPtr<IUnknown> self(GetUnknown());  // the context may hold the last other reference
    CComVariant dependant = TakeDependant();
    ComPtr<CPacketFilters> collection;
    {
        CScopedLock lock(placeholder_lock_);
        collection = std::move(collection_);
    }
    if (collection && (dependant.vt == VT_UNKNOWN || dependant.vt == VT_DISPATCH)) {
        if (ref<FilterBase> filter = FilterOf(dependant.punkVal)) collection->RemoveFilter(filter);
    }
    TakeContext();
    return S_OK;
}
