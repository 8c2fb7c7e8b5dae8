#include "platform/apartment.h"

#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/boundary.h"
#include "platform/proxy.h"

namespace brevanto {
namespace {

// The calling thread's membership. A thread that leaves its single-threaded apartment by
// exiting ends the apartment here.
struct ThreadState {
    std::shared_ptr<Apartment> apartment;
    int joins = 0;

    ~ThreadState() {
        if (apartment && apartment->single_threaded()) apartment->End();
    }
};
thread_local ThreadState t_state;

struct Registry {
    std::mutex mutex;
    std::unordered_map<unsigned long, std::weak_ptr<Apartment>> single_threaded;
};
// Never destroyed: threads may still leave their apartments while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// One synchronous call from another apartment. Completion is signalled through the caller's
// own apartment when that one pumps, so a queued call and the completion both wake it.
struct PendingCall {
    std::shared_ptr<Apartment> waiter;  // single-threaded caller, or null
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    HRESULT hr = RPC_E_DISCONNECTED;
};

}  // namespace

unsigned long CurrentThreadId() {
    thread_local const unsigned long id = static_cast<unsigned long>(syscall(SYS_gettid));
    return id;
}

std::shared_ptr<Apartment> Apartment::Multithreaded() {
    static auto* mta = new std::shared_ptr<Apartment>(std::make_shared<Apartment>(0));
    return *mta;
}

std::shared_ptr<Apartment> Apartment::Current() {
    if (t_state.apartment) return t_state.apartment;
    return Multithreaded();
}

std::shared_ptr<Apartment> Apartment::OfThread(unsigned long thread) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.single_threaded.find(thread);
    return it == r.single_threaded.end() ? nullptr : it->second.lock();
}

Apartment::Apartment(unsigned long thread)
    : thread_(thread), wake_fd_(thread != 0 ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1) {}

Apartment::~Apartment() {
    if (wake_fd_ >= 0) close(wake_fd_);
}

void Apartment::WakeLocked() {
    wake_.notify_all();
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        // A full counter already reads as readable: nothing is lost when this write fails.
        [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
    }
}

void Apartment::ClearDescriptor() {
    if (wake_fd_ < 0) return;
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(wake_fd_, &count, sizeof count);
}

bool Apartment::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool Apartment::IsCurrent() const {
    if (!single_threaded()) return !Current()->single_threaded();
    return thread_ == CurrentThreadId() && t_state.apartment.get() == this;
}

bool Apartment::PostLocked(WorkItem& item) {
    if (ended_ || !single_threaded()) return false;
    queue_.push_back(std::move(item));
    ++posted_;
    WakeLocked();
    return true;
}

bool Apartment::Post(WorkItem item) {
    std::lock_guard lock(mutex_);
    return PostLocked(item);
}

void Apartment::Signal(const std::function<void()>& set) {
    std::lock_guard lock(mutex_);
    set();
    WakeLocked();
}

Apartment::WorkItem Apartment::TakeLocked() {
    WorkItem item = std::move(queue_.front());
    queue_.pop_front();
    ++taken_;
    return item;
}

void Apartment::PumpUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (done()) return;
        if (!queue_.empty()) {
            WorkItem item = TakeLocked();
            lock.unlock();
            item(true);
            item = nullptr;  // drop what it captured outside the lock
            lock.lock();
            continue;
        }
        wake_.wait(lock);
    }
}

int Apartment::PumpPending() {
    int ran = 0;
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        WorkItem item = TakeLocked();
        lock.unlock();
        item(true);
        item = nullptr;
        ++ran;
        lock.lock();
    }
    return ran;
}

bool Apartment::Pump(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock lock(mutex_);
    // A pass always runs the work that was queued when it began; later work runs until the
    // time-out, so that a steady stream of calls holds neither the quit nor the time-out back.
    const std::uint64_t queued_at_start = posted_;
    for (;;) {
        // As with the platform's quit message, the work queued before the quit goes first.
        if (quit_ && taken_ >= quit_after_) {
            quit_ = false;
            return false;
        }
        const bool timed_out = timeout_ms >= 0 && Clock::now() >= deadline;
        if (!queue_.empty() && (taken_ < queued_at_start || !timed_out)) {
            WorkItem item = TakeLocked();
            lock.unlock();
            item(true);
            item = nullptr;
            lock.lock();
            continue;
        }
        if (timed_out) return true;
        if (timeout_ms < 0)
            wake_.wait(lock);
        else
            wake_.wait_until(lock, deadline);
    }
}

void Apartment::PostQuit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    quit_after_ = posted_;
    WakeLocked();
}

void Apartment::End() {
    std::deque<WorkItem> cancelled;
    std::vector<IUnknown*> released;
    std::vector<std::shared_ptr<Stub>> stubs;  // dropped only after the lock is released
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        ended_ = true;
        cancelled.swap(queue_);
        for (auto& [identity, weak] : stubs_) {
            if (auto stub = weak.lock()) {
                stub->TakeReferencesLocked(&released);
                stubs.push_back(std::move(stub));
            }
        }
        stubs_.clear();
    }
    {
        Registry& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        auto it = r.single_threaded.find(thread_);
        if (it != r.single_threaded.end() && it->second.lock().get() == this)
            r.single_threaded.erase(it);
    }
    for (auto& item : cancelled)
        item(false);
    cancelled.clear();
    for (IUnknown* p : released)
        p->Release();
    stubs.clear();
}

std::shared_ptr<Stub> Apartment::StubFor(IUnknown* identity) {
    {
        std::lock_guard lock(mutex_);
        auto it = stubs_.find(identity);
        if (it != stubs_.end())
            if (auto stub = it->second.lock()) return stub;
    }
    // Built outside the lock: the stub asks the object which interfaces it answers.
    auto made = std::make_shared<Stub>(shared_from_this(), identity);
    std::shared_ptr<Stub> existing;
    {
        std::lock_guard lock(mutex_);
        auto& slot = stubs_[identity];
        existing = slot.lock();
        if (!existing) {
            slot = made;
            return made;
        }
    }
    return existing;  // another thread got there first; `made` goes outside the lock
}

HRESULT Apartment::Execute(const std::function<HRESULT()>& work) {
    std::shared_ptr<Apartment> caller = Current();
    if (caller.get() == this && IsCurrent()) return StatusOf(work);
    if (single_threaded() && ended()) return RPC_E_DISCONNECTED;

    auto call = std::make_shared<PendingCall>();
    if (caller->single_threaded()) call->waiter = caller;
    auto complete = [call](HRESULT hr) {
        auto set = [&] {
            call->hr = hr;
            call->done = true;
        };
        if (call->waiter) {
            call->waiter->Signal(set);
        } else {
            std::lock_guard lock(call->mutex);
            set();
            call->done_cv.notify_all();
        }
    };

    std::thread runner;
    if (single_threaded()) {
        // `work` lives on the caller's stack, which stays while the caller waits below.
        if (!Post([&work, complete](bool run) {
                complete(run ? StatusOf(work) : RPC_E_DISCONNECTED);
            }))
            return RPC_E_DISCONNECTED;
    } else {
        // The multithreaded apartment has no owning thread: the call gets a thread of its own,
        // so that a call back into the caller's apartment from inside it cannot deadlock.
        runner = std::thread([&work, complete] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            HRESULT hr = StatusOf(work);
            CoUninitialize();
            complete(hr);
        });
    }

    if (call->waiter) {
        call->waiter->PumpUntil([&] { return call->done; });
    } else {
        std::unique_lock lock(call->mutex);
        call->done_cv.wait(lock, [&] { return call->done; });
    }
    if (runner.joinable()) runner.join();
    if (call->waiter) {
        std::lock_guard lock(call->waiter->mutex_);
        return call->hr;
    }
    std::lock_guard lock(call->mutex);
    return call->hr;
}

}  // namespace brevanto

using brevanto::Apartment;
using brevanto::t_state;

HRESULT CoInitializeEx(void*, DWORD coinit) {
    bool single = (coinit & COINIT_APARTMENTTHREADED) != 0;
    if (t_state.apartment) {
        if (t_state.apartment->single_threaded() != single) return RPC_E_CHANGED_MODE;
        ++t_state.joins;
        return S_FALSE;
    }
    if (single) {
        unsigned long id = brevanto::CurrentThreadId();
        auto apartment = std::make_shared<Apartment>(id);
        brevanto::Registry& r = brevanto::TheRegistry();
        std::lock_guard lock(r.mutex);
        r.single_threaded[id] = apartment;
        t_state.apartment = std::move(apartment);
    } else {
        t_state.apartment = Apartment::Multithreaded();
    }
    t_state.joins = 1;
    return S_OK;
}

void CoUninitialize() {
    if (!t_state.apartment || --t_state.joins > 0) return;
    std::shared_ptr<Apartment> apartment = std::move(t_state.apartment);
    t_state.apartment = nullptr;
    if (apartment->single_threaded()) apartment->End();
}

HRESULT CoGetApartmentType(APTTYPE* type, APTTYPEQUALIFIER* qualifier) {
    if (!type || !qualifier) return E_INVALIDARG;
    if (!t_state.apartment) {
        *type = APTTYPE_MTA;
        *qualifier = APTTYPEQUALIFIER_IMPLICIT_MTA;
        return S_OK;
    }
    *type = t_state.apartment->single_threaded() ? APTTYPE_STA : APTTYPE_MTA;
    *qualifier = APTTYPEQUALIFIER_NONE;
    return S_OK;
}

int CoGetPumpDescriptor() {
    if (!t_state.apartment || !t_state.apartment->single_threaded()) return -1;
    return t_state.apartment->descriptor();
}

int CoPumpDescriptorReady() {
    if (!t_state.apartment || !t_state.apartment->single_threaded()) return 0;
    t_state.apartment->ClearDescriptor();
    return t_state.apartment->PumpPending();
}

int CoPumpPendingMessages() {
    if (!t_state.apartment || !t_state.apartment->single_threaded()) return 0;
    return t_state.apartment->PumpPending();
}

bool CoPumpMessages(int timeout_ms) {
    if (!t_state.apartment || !t_state.apartment->single_threaded()) return false;
    return t_state.apartment->Pump(timeout_ms);
}

bool CoPumpUntil(const std::function<bool()>& done) {
    if (!t_state.apartment || !t_state.apartment->single_threaded()) return false;
    t_state.apartment->PumpUntil(done);
    return true;
}

void CoPostQuit(unsigned long thread) {
    std::shared_ptr<Apartment> apartment =
        thread == 0 ? t_state.apartment : Apartment::OfThread(thread);
    if (apartment && apartment->single_threaded()) apartment->PostQuit();
}

bool CoPostToApartment(unsigned long thread, std::function<void()> work) {
    std::shared_ptr<Apartment> apartment = Apartment::OfThread(thread);
    if (!apartment) return false;
    return apartment->Post([work = std::move(work)](bool run) {
        if (run) work();
    });
}
