#include "network/packet_filters.h"

#include <algorithm>

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

CPacketFilters::CPacketFilters() : list_(std::make_shared<const List>()) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Add")};
    GetIDsOfNames(IID_NULL, names, 1, 0x400, &add_dispid_);
}

std::shared_ptr<const CPacketFilters::List> CPacketFilters::Snapshot() const {
    CScopedLock lock(lock_);
    return list_;
}

void CPacketFilters::Publish(List list) {
    auto published = std::make_shared<const List>(std::move(list));
    CScopedLock lock(lock_);
    list_ = std::move(published);
}

HRESULT CPacketFilters::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(Snapshot()->size());
    return S_OK;
}

HRESULT CPacketFilters::Add(VARIANT Ob) {
    try {
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
    } catch (const HResultError& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CPacketFilters::Remove(LONG Index) {
    ref<FilterBase> removed;
    {
        CScopedLock lock(lock_);
        if (Index < 0 || static_cast<size_t>(Index) >= list_->size()) return E_INVALIDARG;
        List list = *list_;
        removed = list[static_cast<size_t>(Index)];
        list.erase(list.begin() + Index);
        Publish(std::move(list));
    }
    removed->Cleanup();
    return S_OK;
}

void CPacketFilters::AppendFilter(ref<FilterBase> filter) {
    if (!filter) return;
    CScopedLock lock(lock_);
    List list = *list_;
    list.push_back(std::move(filter));
    Publish(std::move(list));
}

bool CPacketFilters::RunFilters(ref<PacketBase> packet) {
    // Filters added or removed by callbacks during the pass take effect from the next one.
    std::shared_ptr<const List> filters = Snapshot();
    for (const ref<FilterBase>& filter : *filters) {
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
        auto destroyed = [](const ref<FilterBase>& f) { return f->DestroyNow != 0; };
        if (std::none_of(list_->begin(), list_->end(), destroyed)) return;
        List kept;
        for (const ref<FilterBase>& filter : *list_)
            (destroyed(filter) ? removed : kept).push_back(filter);
        Publish(std::move(kept));
    }
    for (const ref<FilterBase>& filter : removed)
        filter->Cleanup();
}

void CPacketFilters::RemoveFilter(const ref<FilterBase>& filter) {
    {
        CScopedLock lock(lock_);
        auto at = std::find(list_->begin(), list_->end(), filter);
        if (at == list_->end()) return;
        List list = *list_;
        list.erase(list.begin() + (at - list_->begin()));
        Publish(std::move(list));
    }
    filter->Cleanup();
}

HRESULT CPacketFilters::RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD*) {
    if (!dispid || *dispid != add_dispid_) return S_OK;
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
    std::shared_ptr<const List> filters;
    {
        CScopedLock lock(lock_);
        filters = std::move(list_);
        list_ = std::make_shared<const List>();
    }
    for (const ref<FilterBase>& filter : *filters)
        filter->Cleanup();
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
        std::lock_guard lock(mutex_);
        collection = std::move(collection_);
    }
    if (collection && (dependant.vt == VT_UNKNOWN || dependant.vt == VT_DISPATCH)) {
        if (ref<FilterBase> filter = FilterOf(dependant.punkVal)) collection->RemoveFilter(filter);
    }
    TakeContext();
    return S_OK;
}
