// The four entry points of the loadable module, exported by name with C linkage.
#include "module/module.h"

#define BREVANTO_EXPORT extern "C" __attribute__((visibility("default")))

BREVANTO_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return TheModule().GetClassObject(clsid, riid, object);
}

BREVANTO_EXPORT HRESULT DllCanUnloadNow() {
    return TheModule().CanUnloadNow();
}

BREVANTO_EXPORT HRESULT DllRegisterServer() {
    return TheModule().RegisterServer();
}

BREVANTO_EXPORT HRESULT DllUnregisterServer() {
    return TheModule().UnregisterServer();
}
