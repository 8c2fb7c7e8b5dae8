// The standard class factory of every entry.
#include "module/object_map.h"

namespace {

class CClassFactory : public ComObjectRoot<CClassFactory, IClassFactory, IMarshal> {
  public:
    // A cached factory must not keep the module loaded; server locks do that.
    static constexpr bool kCountsModuleLock = false;

    explicit CClassFactory(const ObjectMapEntry& entry) : entry_(entry) {}

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        return entry_.create_instance(outer, riid, object);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }

  private:
    const ObjectMapEntry& entry_;
};

}  // namespace

HRESULT CreateClassFactory(const ObjectMapEntry& entry, IClassFactory** factory) {
    if (!factory) return E_POINTER;
    *factory = nullptr;
    ComPtr<CClassFactory> made;
    HRESULT hr = MakeComObject(&made, entry);
    if (FAILED(hr)) return hr;
    *factory = made.Detach();
    return S_OK;
}
