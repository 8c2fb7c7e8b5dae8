// The process's global interface table.
#include <mutex>
#include <unordered_map>

#include "platform/apartment.h"
#include "platform/proxy.h"

namespace brevanto {
namespace {

// Registrations keep the marshalled form of the pointer, made on the registering thread, so
// each fetch can turn it into the pointer right for the fetching thread.
class GlobalInterfaceTable final : public IGlobalInterfaceTable {
  public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IGlobalInterfaceTable::kIid) {
            *object = static_cast<IGlobalInterfaceTable*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // One table for the life of the process: counting does nothing.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID riid, DWORD* cookie) override {
        if (!cookie) return E_INVALIDARG;
        *cookie = 0;
        if (!object) return E_INVALIDARG;
        IUnknown* p = nullptr;
        HRESULT hr = object->QueryInterface(riid, reinterpret_cast<void**>(&p));
        if (FAILED(hr)) return hr;
        if (!p) return E_NOINTERFACE;
        Entry entry{{}, riid};
        hr = MarshalInterface(p, &entry.token);
        p->Release();
        if (FAILED(hr)) return hr;
        std::lock_guard lock(mutex_);
        // Cookies are never 0 and never name two live registrations.
        do {
            ++next_;
        } while (next_ == 0 || entries_.count(next_));
        entries_.emplace(next_, std::move(entry));
        *cookie = next_;
        return S_OK;
    }

    HRESULT RevokeInterfaceFromGlobal(DWORD cookie) override {
        Entry gone;
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(cookie);
            if (it == entries_.end()) return E_INVALIDARG;
            gone = std::move(it->second);
            entries_.erase(it);
        }
        return S_OK;  // `gone` lets go of the object outside the lock
    }

    HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        MarshalToken token;
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(cookie);
            if (it == entries_.end()) return E_INVALIDARG;
            token = it->second.token;
        }
        return UnmarshalInterface(token, riid, object);
    }

  private:
    struct Entry {
        MarshalToken token;
        IID iid;
    };
    std::mutex mutex_;
    std::unordered_map<DWORD, Entry> entries_;
    DWORD next_ = 0;
};

}  // namespace
}  // namespace brevanto

HRESULT CoGetGlobalInterfaceTable(IGlobalInterfaceTable** table) {
    if (!table) return E_INVALIDARG;
    // Never destroyed: registrations may be revoked by static destructors of other modules.
    static auto* instance = new brevanto::GlobalInterfaceTable;
    *table = instance;
    return S_OK;
}
