// The one collection type scripts see (IGenericCollection): schedules, public holidays, timers,
// filter callbacks. Elements are kept as cross-thread references, so worker threads can walk a
// collection that the script thread fills; elements added through a page's data context are
// placeholders that take themselves out when the page goes away.
//
//   STLCollectionImpl          the element list and the notifier;
//   STLObjectCollectionImpl    the IGenericCollection members over it, for element interface I;
//   STLObjectCollection        the collection object, embedded in its owner (counting does
//                              nothing), with the data-context hooks.
#pragma once

#include <memory>
#include <vector>

#include "dispatch/function_objects.h"
#include "dispatch/placeholders.h"
#include "interfaces/dispatch.h"
#include "platform/boundary.h"
#include "platform/dispatcher.h"
#include "platform/enum_variant.h"
#include "platform/git_ptr.h"
#include "platform/safearray.h"
#include "platform/script_call.h"
#include "runtime/ref_counted.h"

// One element: a registration in the global interface table. Shared, so that an enumerator's
// snapshot keeps the registrations it walks alive after the collection dropped them.
using CollectionElement = std::shared_ptr<const CComGITPtr2<IUnknown>>;

// Observes a collection's changes; the base does nothing.
class CollectionNotifier : public RefCounted {
  public:
    virtual void OnAdd(const CollectionElement& /*element*/) {}
    // Before the element at `position` leaves the list.
    virtual void OnRemove(size_t /*position*/, const CollectionElement& /*element*/) {}
    virtual void OnClear() {}
};

// The element of a placeholder is what scripts see in its place.
inline HRESULT ResolvePlaceHolder(ComPtr<IUnknown>* object) {
    ComPtr<IPlaceHolder> placeholder = object->As<IPlaceHolder>();
    if (!placeholder) return S_OK;
    CComVariant dependant;
    HRESULT hr = placeholder->get_Dependant(&dependant);
    if (FAILED(hr)) return hr;
    *object =
        (dependant.vt == VT_UNKNOWN || dependant.vt == VT_DISPATCH) ? dependant.punkVal : nullptr;
    return S_OK;
}

// Elements to and from variants, for element interface I.
template <class I>
struct DispatchConverter {
    // An object value that answers I; E_INVALIDARG otherwise.
    static HRESULT FromVariant(const VARIANT& value, ComPtr<I>* element) {
        CComVariant object;
        if (FAILED(VariantChangeType(&object, &value, 0, VT_UNKNOWN)) || !object.punkVal)
            return E_INVALIDARG;
        if (FAILED(object.punkVal->QueryInterface(element->put())) || !*element)
            return E_INVALIDARG;
        return S_OK;
    }
    // The element, fetched for the calling thread, as an object value (a placeholder as the
    // object it stands for).
    static HRESULT ToVariant(const CollectionElement& element, VARIANT* out) {
        ComPtr<IUnknown> object;
        HRESULT hr = element->CopyTo(object.put());
        if (FAILED(hr)) return hr;
        hr = ResolvePlaceHolder(&object);
        if (FAILED(hr)) return hr;
        VariantClear(out);
        if (!object) return S_OK;
        if (ComPtr<IDispatch> d = object.As<IDispatch>()) {
            out->vt = VT_DISPATCH;
            out->pdispVal = d.Detach();
        } else {
            out->vt = VT_UNKNOWN;
            out->punkVal = object.Detach();
        }
        return S_OK;
    }
};

template <class Holder, VARTYPE kElementVt, class Itf, class Converter>
class STLCollectionImpl : public DispatchImpl<Itf> {
  public:
    static constexpr VARTYPE kVt = kElementVt;
    using Snapshot = std::shared_ptr<const std::vector<Holder>>;

    void SetNotifier(ref<CollectionNotifier> notifier) {
        CScopedLock lock(list_lock_);
        notifier_ = std::move(notifier);
    }
    size_t Size() const {
        CScopedLock lock(list_lock_);
        return items_.size();
    }
    // The list as it is now; the registrations stay valid while the snapshot lives.
    Snapshot Items() const {
        CScopedLock lock(list_lock_);
        return std::make_shared<const std::vector<Holder>>(items_);
    }

  protected:
    ~STLCollectionImpl() = default;
    ref<CollectionNotifier> Notifier() const {
        CScopedLock lock(list_lock_);
        return notifier_;
    }

    // Guards the list itself, never held while calling out.
    mutable CCriticalSectionEx list_lock_;
    std::vector<Holder> items_;
    ref<CollectionNotifier> notifier_;
};

template <class I, class Itf>
class STLObjectCollectionImpl
    : public STLCollectionImpl<CollectionElement, VT_DISPATCH, Itf, DispatchConverter<I>> {
    using Core = STLCollectionImpl<CollectionElement, VT_DISPATCH, Itf, DispatchConverter<I>>;
    using Converter = DispatchConverter<I>;
    using Enumerator = CEnumVARIANT<CollectionElement, Converter>;
    using RemovalFunction = CMethodFunction<STLObjectCollectionImpl>;

  public:
    // ---- IGenericCollection ----
    HRESULT get_Item(VARIANT index, VARIANT* value) override { return GetItem(index, value); }
    HRESULT put_Item(VARIANT index, VARIANT* value) override { return PutItem(index, value); }
    HRESULT _NewEnum(IUnknown** out) override {
        if (!out) return E_POINTER;
        if (*out) (*out)->Release();
        *out = nullptr;
        ComPtr<IEnumVARIANT> e;
        HRESULT hr = Enumerator::Create(this->Items(), e.put());
        if (FAILED(hr)) return hr;
        return e->QueryInterface(out) == S_OK ? S_OK : E_NOINTERFACE;
    }
    HRESULT get_Count(LONG* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(this->Size());
        return S_OK;
    }
    HRESULT get_length(LONG* count) override { return get_Count(count); }
    HRESULT Add(VARIANT object) override {
        return StatusOf([&] { return AddItem(object); });
    }
    HRESULT Remove(VARIANT index) override { return RemoveItem(index); }
    HRESULT GetSafeArray(LONG vt, VARIANT* out) override {
        if (vt != VT_DISPATCH && vt != VT_UNKNOWN) return E_INVALIDARG;
        if (!out) return E_POINTER;
        auto items = this->Items();
        SAFEARRAY* array =
            SafeArrayCreateVector(static_cast<VARTYPE>(vt), 0, static_cast<ULONG>(items->size()));
        if (!array) return E_FAIL;
        for (size_t i = 0; i < items->size(); ++i) {
            CComVariant element;
            HRESULT hr = Converter::ToVariant((*items)[i], &element);
            if (SUCCEEDED(hr) && element.vt != vt)
                hr = VariantChangeType(&element, &element, 0, static_cast<VARTYPE>(vt));
            if (FAILED(hr)) continue;  // an element whose apartment has gone stays null
            LONG at = static_cast<LONG>(i);
            SafeArrayPutElement(array, &at, element.punkVal);
        }
        VariantClear(out);
        out->vt = static_cast<VARTYPE>(VT_ARRAY | vt);
        out->parray = array;
        return S_OK;
    }

    // ---- Operations derived collections may refine ----
    virtual ~STLObjectCollectionImpl() {
        for (auto& f : functions_)
            f->Unbind();
    }

    virtual HRESULT GetItem(VARIANT index, VARIANT* value) {
        if (!value) return E_POINTER;
        CollectionElement element = AtPosition(Find(index));
        if (!element) return E_INVALIDARG;
        return Converter::ToVariant(element, value);
    }
    virtual HRESULT PutItem(VARIANT index, VARIANT* value) {
        if (!value) return E_INVALIDARG;
        return StatusOf([&] {
            CollectionElement found = AtPosition(Find(index));
            if (!found) return E_INVALIDARG;
            ComPtr<I> element;
            HRESULT hr = Converter::FromVariant(*value, &element);
            if (FAILED(hr)) return hr;
            auto replacement = std::make_shared<const CComGITPtr2<IUnknown>>(element.get());
            CScopedLock lock(this->list_lock_);
            for (auto& item : this->items_)
                if (item == found) item = replacement;
            return S_OK;
        });
    }
    virtual HRESULT RemoveItem(VARIANT index) {
        long position = Find(index);
        if (position < 0) return E_INVALIDARG;
        Erase(static_cast<size_t>(position));
        return S_OK;
    }
    virtual HRESULT AddItem(VARIANT object) {
        CComVariant value;
        HRESULT hr = VariantCopyInd(&value, &object);
        if (FAILED(hr)) return hr;
        CComVariant unknown;
        if (SUCCEEDED(VariantChangeType(&unknown, &value, 0, VT_UNKNOWN)) && unknown.punkVal) {
            if (ComPtr<IPlaceHolder> p = ComPtr<IUnknown>(unknown.punkVal).As<IPlaceHolder>()) {
                Append(p.get());
                return S_OK;
            }
        }
        ComPtr<I> element;
        if (FAILED(Converter::FromVariant(value, &element))) return E_FAIL;
        Append(element.get());
        return S_OK;
    }
    // The position of the element the index names, or -1: a string by the elements' Name
    // (case-sensitive, first match), an object by identity, an I4, I2 or UI1 by position.
    virtual long Find(VARIANT index) {
        CComVariant key;
        if (FAILED(VariantCopyInd(&key, &index))) return -1;
        switch (key.vt) {
            case VT_BSTR:
                return FindByName(key.bstrVal);
            case VT_DISPATCH:
            case VT_UNKNOWN:
                return FindObject(key.punkVal);
            case VT_I4:
            case VT_I2:
            case VT_UI1: {
                CComVariant number;
                if (FAILED(VariantChangeType(&number, &key, 0, VT_I4))) return -1;
                const long size = static_cast<long>(this->Size());
                return number.lVal >= 0 && number.lVal < size ? number.lVal : -1;
            }
            default:
                return -1;
        }
    }
    // The element at a position; null when there is none.
    virtual CollectionElement AtPosition(long position) {
        CScopedLock lock(this->list_lock_);
        if (position < 0 || static_cast<size_t>(position) >= this->items_.size()) return nullptr;
        return this->items_[static_cast<size_t>(position)];
    }
    // Adds an element that is already registered, then tells the notifier.
    virtual void AppendRegistered(CollectionElement element) {
        {
            CScopedLock lock(this->list_lock_);
            this->items_.push_back(element);
        }
        if (auto notifier = this->Notifier()) notifier->OnAdd(element);
    }
    virtual void ClearAll() {
        if (auto notifier = this->Notifier()) notifier->OnClear();
        std::vector<CollectionElement> gone;
        CScopedLock lock(this->list_lock_);
        gone.swap(this->items_);
    }
    virtual void Erase(size_t position) {
        CollectionElement element = AtPosition(static_cast<long>(position));
        if (!element) return;
        if (auto notifier = this->Notifier()) notifier->OnRemove(position, element);
        CScopedLock lock(this->list_lock_);
        auto& items = this->items_;
        for (auto it = items.begin(); it != items.end(); ++it)
            if (*it == element) {
                items.erase(it);
                break;
            }
    }
    // Elements without a readable Name (placeholders among them) are passed over.
    virtual long FindByName(BSTR name) {
        auto items = this->Items();
        for (size_t i = 0; i < items->size(); ++i) {
            ComPtr<IUnknown> element;
            if (FAILED((*items)[i]->CopyTo(element.put())) || !element) continue;
            ComPtr<IDispatch> object = element.template As<IDispatch>();
            if (!object) continue;
            CComVariant value, text;
            if (FAILED(ReadScriptProperty(object, u"Name", &value)) ||
                FAILED(VariantChangeTypeEx(&text, &value, LOCALE_USER_DEFAULT, 0, VT_BSTR)))
                continue;
            if (VarBstrCmp(name, text.bstrVal, LOCALE_USER_DEFAULT, 0) == VARCMP_EQ)
                return static_cast<long>(i);
        }
        return -1;
    }
    // Registers the element (a failure is raised), appends it and, for a placeholder, hands it
    // this collection's removal as its callback.
    virtual void Append(IUnknown* element) {
        auto holder = std::make_shared<const CComGITPtr2<IUnknown>>(element);
        AppendRegistered(holder);
        ComPtr<IPlaceHolder> placeholder = ComPtr<IUnknown>(element).As<IPlaceHolder>();
        if (!placeholder) return;
        ComPtr<RemovalFunction> removal;
        ThrowIfFailed(
            RemovalFunction::Create(this, &STLObjectCollectionImpl::RemoveEntry, &removal));
        {
            CScopedLock lock(this->list_lock_);
            functions_.push_back(removal);
        }
        ThrowIfFailed(placeholder->Register(removal.get()));
    }

    // The removal bound for placeholders: takes the entry to remove as its one argument.
    HRESULT RemoveEntry(VARIANT entry, VARIANT*) { return Remove(entry); }

  protected:
    // The element that is the object itself (a placeholder is found as itself, not as the object
    // it stands for).
    long FindObject(IUnknown* object) {
        if (!object) return -1;
        ComPtr<IUnknown> identity;
        object->QueryInterface(identity.put());
        auto items = this->Items();
        for (size_t i = 0; i < items->size(); ++i) {
            ComPtr<IUnknown> element;
            if (FAILED((*items)[i]->CopyTo(element.put())) || !element) continue;
            if (element.template As<IUnknown>() == identity) return static_cast<long>(i);
        }
        return -1;
    }

  private:
    std::vector<ComPtr<RemovalFunction>> functions_;
};

// The collection object. Build it as STLObjectCollection<I, IGenericCollection>.
template <class I, class Itf>
class STLObjectCollectionObject
    : public ComObjectRoot<STLObjectCollectionObject<I, Itf>, STLObjectCollectionImpl<I, Itf>,
                           IReadOnlyTest, IMarshal> {
  public:
    STLObjectCollectionObject() {
        LPOLESTR names[] = {const_cast<LPOLESTR>(u"Add")};
        this->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &add_dispid_);
    }

    // Add with one argument, called through a data context, stores a placeholder instead.
    HRESULT RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD*) override {
        if (!dispid || *dispid != add_dispid_ || !params || params->cArgs != 1) return S_OK;
        ComPtr<IPlaceHolder> placeholder;
        // An argument that is no I is left for Add to refuse.
        if (FAILED(CollectionPlaceHolder<I>::Create(params->rgvarg[0], placeholder.put())))
            return S_OK;
        VariantClear(&params->rgvarg[0]);
        params->rgvarg[0].vt = VT_UNKNOWN;
        params->rgvarg[0].punkVal = placeholder.Detach();
        return S_OK;
    }
    HRESULT WrapResult(DISPID) override { return S_OK; }

  private:
    DISPID add_dispid_ = DISPID_UNKNOWN;
};

template <class I, class Itf>
using STLObjectCollection = ComObjectEmbedded<STLObjectCollectionObject<I, Itf>>;
