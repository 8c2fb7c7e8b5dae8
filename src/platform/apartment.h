// Apartments, the global interface table and class creation by name.
//
// Every thread that uses objects joins an apartment: the multithreaded apartment (worker
// threads) or a single-threaded apartment of its own (a host's script thread, which runs a
// message pump). An object that is not agile belongs to the apartment that created it; other
// apartments reach it only through the global interface table, which hands them a proxy that
// runs each call on the owning thread while the caller waits.
#pragma once

#include <functional>

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/unknown.h"

enum COINIT : DWORD {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
};

// S_OK on the first join of a thread, S_FALSE when it is already in the same kind of apartment
// (each successful call needs its CoUninitialize), RPC_E_CHANGED_MODE for the other kind.
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
void CoUninitialize();

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_ALL = 0x17,
};

// Reads the class registry in the settings store (written by a module's DllRegisterServer).
HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);
// Loads the registered module of the class (dlopen) and asks its DllGetClassObject.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object);

struct IGlobalInterfaceTable : IUnknown {
    static constexpr IID kIid{
        0x00000146, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID riid, DWORD* cookie) = 0;
    virtual HRESULT RevokeInterfaceFromGlobal(DWORD cookie) = 0;
    virtual HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** object) = 0;

  protected:
    ~IGlobalInterfaceTable() = default;
};
inline constexpr CLSID CLSID_StdGlobalInterfaceTable{
    0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// The process's one table (with a reference).
HRESULT CoGetGlobalInterfaceTable(IGlobalInterfaceTable** table);

// The message pump of a single-threaded apartment. Calls from other apartments arrive as queued
// work items and run inside these calls, on the apartment's own thread.
//
// Runs queued work until the queue is empty; returns how many items ran.
int CoPumpPendingMessages();
// Waits up to timeout_ms (negative: forever) for work or a CoPostQuit, running work as it comes;
// returns false once CoPostQuit was called for this apartment.
bool CoPumpMessages(int timeout_ms);
// Asks the pump of the apartment whose thread id is `thread` to return (thread 0: the calling
// thread's apartment).
void CoPostQuit(unsigned long thread = 0);
// Queues a function to run on the single-threaded apartment of thread `thread`; false when that
// apartment does not exist (any more).
bool CoPostToApartment(unsigned long thread, std::function<void()> work);

// Registered messages: the same name always gives the same process-wide number (from 0xC000).
UINT RegisterWindowMessageW(LPCOLESTR name);
// Delivers the message to every listener the host registered; listeners run on the thread that
// broadcasts. Returns the number of listeners reached.
using MessageListener =
    std::function<void(UINT message, std::uintptr_t wparam, std::intptr_t lparam)>;
int AddMessageListener(MessageListener listener);
void RemoveMessageListener(int id);
int BroadcastRegisteredMessage(UINT message, std::uintptr_t wparam, std::intptr_t lparam);
