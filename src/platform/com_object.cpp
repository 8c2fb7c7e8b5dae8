#include "platform/com_object.h"

namespace {
std::atomic<LONG> g_module_locks{0};
}  // namespace

void ModuleLock() noexcept {
    g_module_locks.fetch_add(1, std::memory_order_relaxed);
}

void ModuleUnlock() noexcept {
    g_module_locks.fetch_sub(1, std::memory_order_release);
}

LONG ModuleLockCount() noexcept {
    return g_module_locks.load(std::memory_order_acquire);
}

bool IsAgileObject(IUnknown* object) noexcept {
    if (!object) return false;
    ComPtr<IMarshal> marshal;
    return SUCCEEDED(object->QueryInterface(IID_IMarshal, marshal.put_void())) && marshal;
}
