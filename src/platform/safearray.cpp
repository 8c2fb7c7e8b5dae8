#include "platform/safearray.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// The element type is kept in a prefix before the descriptor, where the platform keeps it.
constexpr std::size_t kPrefix = 16;

VARTYPE& StoredType(SAFEARRAY* a) {
    return *reinterpret_cast<VARTYPE*>(reinterpret_cast<char*>(a) - sizeof(VARTYPE));
}

USHORT TypeFeatures(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return FADF_BSTR;
        case VT_DISPATCH:
            return FADF_DISPATCH | FADF_HAVEIID;
        case VT_UNKNOWN:
            return FADF_UNKNOWN | FADF_HAVEIID;
        case VT_VARIANT:
            return FADF_VARIANT;
        default:
            return 0;
    }
}

SAFEARRAY* AllocDescriptor(UINT dims) {
    std::size_t size = kPrefix + sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<char*>(std::calloc(1, size));
    return block ? reinterpret_cast<SAFEARRAY*>(block + kPrefix) : nullptr;
}

void FreeDescriptor(SAFEARRAY* a) {
    std::free(reinterpret_cast<char*>(a) - kPrefix);
}

// Elements of all dimensions; false when the count overflows.
bool CountElements(const SAFEARRAY* a, std::size_t* count) {
    std::size_t n = 1;
    for (USHORT d = 0; d < a->cDims; ++d) {
        std::size_t c = a->rgsabound[d].cElements;
        if (c && n > SIZE_MAX / c) return false;
        n *= c;
    }
    *count = n;
    return true;
}

// Frees what the elements [first, first + count) own and zeroes them.
void ReleaseElements(SAFEARRAY* a, std::size_t first, std::size_t count) {
    char* data = static_cast<char*>(a->pvData);
    if (!data) return;
    for (std::size_t i = first; i < first + count; ++i) {
        void* slot = data + i * a->cbElements;
        if (a->fFeatures & FADF_BSTR) {
            SysFreeString(*static_cast<BSTR*>(slot));
        } else if (a->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (auto* p = *static_cast<IUnknown**>(slot)) p->Release();
        } else if (a->fFeatures & FADF_VARIANT) {
            VariantClear(static_cast<VARIANT*>(slot));
        }
    }
    std::memset(data + first * a->cbElements, 0, count * a->cbElements);
}

// Copies one element into uninitialised storage with the platform's copy rules.
HRESULT CopyElement(const SAFEARRAY* a, const void* from, void* to) {
    if (a->fFeatures & FADF_BSTR) {
        BSTR source = *static_cast<const BSTR*>(from);
        BSTR copy = nullptr;
        if (source) {
            copy = SysAllocStringByteLen(reinterpret_cast<const char*>(source),
                                         SysStringByteLen(source));
            if (!copy) return E_OUTOFMEMORY;
        }
        *static_cast<BSTR*>(to) = copy;
    } else if (a->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* p = *static_cast<IUnknown* const*>(from);
        if (p) p->AddRef();
        *static_cast<IUnknown**>(to) = p;
    } else if (a->fFeatures & FADF_VARIANT) {
        auto* dest = static_cast<VARIANT*>(to);
        VariantInit(dest);
        return VariantCopy(dest, static_cast<const VARIANT*>(from));
    } else {
        std::memcpy(to, from, a->cbElements);
    }
    return S_OK;
}

std::atomic_ref<ULONG> Locks(SAFEARRAY* a) {
    return std::atomic_ref<ULONG>(a->cLocks);
}

}  // namespace

ULONG VarTypeSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return 0;
    }
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, SAFEARRAYBOUND* bounds) {
    ULONG size = VarTypeSize(vt);
    if (!size || dims == 0 || dims > 0xFFFF || !bounds) return nullptr;
    SAFEARRAY* a = AllocDescriptor(dims);
    if (!a) return nullptr;
    a->cDims = static_cast<USHORT>(dims);
    a->fFeatures = FADF_HAVEVARTYPE | TypeFeatures(vt);
    a->cbElements = size;
    StoredType(a) = vt;
    // The caller lists the leftmost dimension first; the descriptor keeps them in reverse.
    for (UINT d = 0; d < dims; ++d)
        a->rgsabound[dims - 1 - d] = bounds[d];
    std::size_t count = 0;
    if (!CountElements(a, &count) || count > SIZE_MAX / size) {
        FreeDescriptor(a);
        return nullptr;
    }
    if (count) {
        a->pvData = std::calloc(count, size);
        if (!a->pvData) {
            FreeDescriptor(a);
            return nullptr;
        }
    }
    return a;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG elements) {
    SAFEARRAYBOUND bound{elements, lower_bound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* a) {
    if (!a) return S_OK;
    if (Locks(a).load() > 0) return DISP_E_ARRAYISLOCKED;
    std::size_t count = 0;
    if (CountElements(a, &count)) ReleaseElements(a, 0, count);
    std::free(a->pvData);
    FreeDescriptor(a);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy) {
    if (!copy) return E_INVALIDARG;
    *copy = nullptr;
    if (!source) return S_OK;
    SAFEARRAY* a = AllocDescriptor(source->cDims);
    if (!a) return E_OUTOFMEMORY;
    std::memcpy(reinterpret_cast<char*>(a) - kPrefix, reinterpret_cast<char*>(source) - kPrefix,
                kPrefix + sizeof(SAFEARRAY) + (source->cDims - 1) * sizeof(SAFEARRAYBOUND));
    a->cLocks = 0;
    a->pvData = nullptr;
    a->fFeatures &= ~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE);
    std::size_t count = 0;
    CountElements(a, &count);
    if (count) {
        a->pvData = std::calloc(count, a->cbElements);
        if (!a->pvData) {
            FreeDescriptor(a);
            return E_OUTOFMEMORY;
        }
        for (std::size_t i = 0; i < count; ++i) {
            HRESULT hr = CopyElement(a, static_cast<char*>(source->pvData) + i * a->cbElements,
                                     static_cast<char*>(a->pvData) + i * a->cbElements);
            if (FAILED(hr)) {
                SafeArrayDestroy(a);
                return hr;
            }
        }
    }
    *copy = a;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* a) {
    return a ? a->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* a) {
    return a ? a->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* a, UINT dim, LONG* bound) {
    if (!a || !bound) return E_INVALIDARG;
    if (dim < 1 || dim > a->cDims) return DISP_E_BADINDEX;
    *bound = a->rgsabound[a->cDims - dim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* a, UINT dim, LONG* bound) {
    if (!a || !bound) return E_INVALIDARG;
    if (dim < 1 || dim > a->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = a->rgsabound[a->cDims - dim];
    *bound = static_cast<LONG>(static_cast<long long>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* a, VARTYPE* vt) {
    if (!a || !vt) return E_INVALIDARG;
    if (a->fFeatures & FADF_HAVEVARTYPE)
        *vt = StoredType(a);
    else if (a->fFeatures & FADF_BSTR)
        *vt = VT_BSTR;
    else if (a->fFeatures & FADF_DISPATCH)
        *vt = VT_DISPATCH;
    else if (a->fFeatures & FADF_UNKNOWN)
        *vt = VT_UNKNOWN;
    else if (a->fFeatures & FADF_VARIANT)
        *vt = VT_VARIANT;
    else
        return E_INVALIDARG;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* a) {
    if (!a) return E_INVALIDARG;
    if (Locks(a).fetch_add(1) >= 0xFFFF) {
        Locks(a).fetch_sub(1);
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* a) {
    if (!a) return E_INVALIDARG;
    ULONG locks = Locks(a).load();
    do {
        if (locks == 0) return E_UNEXPECTED;
    } while (!Locks(a).compare_exchange_weak(locks, locks - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* a, void** data) {
    if (!a || !data) return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(a);
    if (FAILED(hr)) return hr;
    *data = a->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* a) {
    return SafeArrayUnlock(a);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* a, LONG* indices, void** element) {
    if (!a || !indices || !element) return E_INVALIDARG;
    // indices[0] names the leftmost dimension, which varies fastest in memory.
    std::size_t offset = 0, stride = 1;
    for (USHORT d = 0; d < a->cDims; ++d) {
        const SAFEARRAYBOUND& b = a->rgsabound[a->cDims - 1 - d];
        long long i = static_cast<long long>(indices[d]) - b.lLbound;
        if (i < 0 || i >= static_cast<long long>(b.cElements)) return DISP_E_BADINDEX;
        offset += static_cast<std::size_t>(i) * stride;
        stride *= b.cElements;
    }
    *element = static_cast<char*>(a->pvData) + offset * a->cbElements;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* a, LONG* indices, void* value) {
    if (!a || !indices || !value) return E_INVALIDARG;
    void* slot;
    HRESULT hr = SafeArrayPtrOfIndex(a, indices, &slot);
    if (FAILED(hr)) return hr;
    SafeArrayLock(a);
    hr = CopyElement(a, slot, value);
    SafeArrayUnlock(a);
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* a, LONG* indices, void* value) {
    if (!a || !indices) return E_INVALIDARG;
    void* slot;
    HRESULT hr = SafeArrayPtrOfIndex(a, indices, &slot);
    if (FAILED(hr)) return hr;
    SafeArrayLock(a);
    // Strings and interfaces come as the pointer itself; everything else by address.
    if (a->fFeatures & FADF_BSTR) {
        auto source = static_cast<BSTR>(value);
        BSTR copy = nullptr;
        if (source) {
            copy = SysAllocStringByteLen(reinterpret_cast<const char*>(source),
                                         SysStringByteLen(source));
            if (!copy) hr = E_OUTOFMEMORY;
        }
        if (SUCCEEDED(hr)) {
            SysFreeString(*static_cast<BSTR*>(slot));
            *static_cast<BSTR*>(slot) = copy;
        }
    } else if (a->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* object = static_cast<IUnknown*>(value);
        if (object) object->AddRef();
        if (auto* old = *static_cast<IUnknown**>(slot)) old->Release();
        *static_cast<IUnknown**>(slot) = object;
    } else if (a->fFeatures & FADF_VARIANT) {
        hr = value ? VariantCopy(static_cast<VARIANT*>(slot), static_cast<const VARIANT*>(value))
                   : E_INVALIDARG;
    } else if (value) {
        std::memcpy(slot, value, a->cbElements);
    } else {
        hr = E_INVALIDARG;
    }
    SafeArrayUnlock(a);
    return hr;
}

HRESULT SafeArrayRedim(SAFEARRAY* a, SAFEARRAYBOUND* new_bound) {
    if (!a || !new_bound) return E_INVALIDARG;
    if (Locks(a).load() > 0) return DISP_E_ARRAYISLOCKED;
    if (a->fFeatures & FADF_FIXEDSIZE) return E_INVALIDARG;
    // The last dimension varies slowest, so its elements form one block at the end.
    std::size_t old_count = 0, slice = 1;
    CountElements(a, &old_count);
    for (USHORT d = 1; d < a->cDims; ++d)
        slice *= a->rgsabound[d].cElements;
    std::size_t new_count = slice * new_bound->cElements;
    if (new_bound->cElements && slice > SIZE_MAX / new_bound->cElements / a->cbElements)
        return E_OUTOFMEMORY;
    if (new_count < old_count) ReleaseElements(a, new_count, old_count - new_count);
    if (new_count != old_count) {
        void* data = nullptr;
        if (new_count) {
            data = std::realloc(a->pvData, new_count * a->cbElements);
            if (!data) return E_OUTOFMEMORY;
            if (new_count > old_count)
                std::memset(static_cast<char*>(data) + old_count * a->cbElements, 0,
                            (new_count - old_count) * a->cbElements);
        } else {
            std::free(a->pvData);
        }
        a->pvData = data;
    }
    a->rgsabound[0] = *new_bound;
    return S_OK;
}
