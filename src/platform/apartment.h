// Apartments, the global interface table and class creation by name.
//
// Every thread that uses objects joins an apartment: the multithreaded apartment (worker
// threads) or a single-threaded apartment of its own (a host's script thread, which runs a
// message pump). An object that is not agile belongs to the apartment that created it; other
// apartments reach it only through the global interface table, which hands them a proxy that
// runs each call on the owning thread while the caller waits.
//
// A thread that never joined an apartment counts as a member of the multithreaded apartment
// (the platform's implicit multithreaded apartment). Thread ids in this API are the kernel's
// thread ids (gettid).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

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
// The last CoUninitialize of a single-threaded apartment ends it: the calls still queued for it
// fail with RPC_E_DISCONNECTED, its objects are released on this thread, and every later fetch
// or call of them from other apartments gives RPC_E_DISCONNECTED. A thread that exits while
// still joined leaves its apartment the same way.
void CoUninitialize();

enum APTTYPE : int {
    APTTYPE_CURRENT = -1,
    APTTYPE_STA = 0,
    APTTYPE_MTA = 1,
    APTTYPE_NA = 2,
    APTTYPE_MAINSTA = 3,
};
enum APTTYPEQUALIFIER : int {
    APTTYPEQUALIFIER_NONE = 0,
    APTTYPEQUALIFIER_IMPLICIT_MTA = 1,
};
// The calling thread's apartment; a thread that never joined reports the implicit
// multithreaded apartment.
HRESULT CoGetApartmentType(APTTYPE* type, APTTYPEQUALIFIER* qualifier);

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_ALL = 0x17,
};

// Reads the class registry in the settings store (written by a module's DllRegisterServer);
// a braced class identifier is accepted as it is. CO_E_CLASSSTRING for an unknown name.
HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);
// Uses a class object registered with CoRegisterClassObject, or loads the registered module of
// the class (dlopen, kept loaded) and asks its DllGetClassObject. REGDB_E_CLASSNOTREG for a
// class with no registration.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object);
// Class objects that a process offers without a module file (a host's own classes, tests).
// The registration keeps a reference until it is revoked.
inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD flags,
                              DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);

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
// returns false once CoPostQuit was called for this apartment and the work queued before it
// has run, true at the time-out. The work queued when the call began always runs; work that
// keeps arriving holds neither the quit nor the time-out back.
bool CoPumpMessages(int timeout_ms);
// Runs the calling single-threaded apartment's queued work until `done` holds. `done` is tested
// under the apartment's queue lock, so it must take no lock itself (read an atomic): before each
// item and whenever work is posted; post a no-op (CoPostToApartment) after changing what it
// reads. Returns false at once on a thread without a single-threaded apartment.
bool CoPumpUntil(const std::function<bool()>& done);
// A descriptor that becomes readable when work is queued for the calling single-threaded
// apartment (or its pump is asked to quit), so that a thread whose loop waits on descriptors (a
// GLib main loop) can pump the apartment as part of it; -1 on other threads. The apartment
// owns it.
int CoGetPumpDescriptor();
// Called when that descriptor is readable: clears it, then runs the queued work as
// CoPumpPendingMessages does. Work queued meanwhile makes it readable again.
int CoPumpDescriptorReady();
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

namespace brevanto {

// The kernel id of the calling thread.
unsigned long CurrentThreadId();

class Stub;
class Proxy;

// One apartment, as platform code sees it: the process's multithreaded apartment or the
// single-threaded apartment of one thread, with its work queue.
class Apartment : public std::enable_shared_from_this<Apartment> {
  public:
    // A queued item: called with true to run it on the apartment's thread, or with false
    // when the apartment ended before it could run.
    using WorkItem = std::function<void(bool run)>;

    // The calling thread's apartment (the multithreaded one for threads that never joined).
    static std::shared_ptr<Apartment> Current();
    static std::shared_ptr<Apartment> Multithreaded();
    // The single-threaded apartment of a thread; null when there is none.
    static std::shared_ptr<Apartment> OfThread(unsigned long thread);

    explicit Apartment(unsigned long thread);  // thread 0: the multithreaded apartment
    ~Apartment();
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    bool single_threaded() const { return thread_ != 0; }
    unsigned long thread_id() const { return thread_; }
    bool ended() const;
    // Readable while work may be waiting (single-threaded only; -1 otherwise).
    int descriptor() const { return wake_fd_; }
    void ClearDescriptor();
    // The calling thread may call this apartment's objects directly.
    bool IsCurrent() const;

    // Queues work for a single-threaded apartment; false (nothing queued) once it has ended.
    bool Post(WorkItem item);
    // Runs `work` in this apartment for the calling thread and waits for it: directly when the
    // caller belongs here, else on the owning thread (or, for the multithreaded apartment, on
    // a thread of its own) while the caller waits, pumping its own queue if it is
    // single-threaded. RPC_E_DISCONNECTED when the apartment has ended.
    HRESULT Execute(const std::function<HRESULT()>& work);

    // The stub of one of this apartment's objects (by its IUnknown identity): one per object,
    // shared by every registration and proxy that reaches the object from outside.
    std::shared_ptr<Stub> StubFor(IUnknown* identity);

    // Pump operations of the owning thread.
    // Waits until `done` holds, running queued work meanwhile (single-threaded only).
    void PumpUntil(const std::function<bool()>& done);
    int PumpPending();
    bool Pump(int timeout_ms);
    void PostQuit();
    // Ends the apartment (on its own thread): fails queued work and disconnects its stubs.
    void End();

  private:
    friend class Stub;
    friend class Proxy;
    // Runs `set` under the queue lock and wakes the pump.
    void Signal(const std::function<void()>& set);
    // Wakes the pump: its condition and its descriptor.
    void WakeLocked();
    bool PostLocked(WorkItem& item);
    WorkItem TakeLocked();

    const unsigned long thread_;
    const int wake_fd_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WorkItem> queue_;
    std::uint64_t posted_ = 0;      // items ever queued
    std::uint64_t taken_ = 0;       // items ever taken from the queue
    std::uint64_t quit_after_ = 0;  // the quit waits until this many items were taken
    bool quit_ = false;
    bool ended_ = false;
    std::unordered_map<IUnknown*, std::weak_ptr<Stub>> stubs_;
};

}  // namespace brevanto
