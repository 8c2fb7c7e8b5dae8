#include "runtime/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/apartment.h"
#include "platform/boundary.h"
#include "platform/hresult.h"

struct Thread::Instance {
    std::thread thread;
    CManualEvent started;  // set once the thread has published its id
    CManualEvent exited;   // set after ThreadExit
    DWORD exit_code = 0;
};

namespace {

// Whether ThreadInit joined an apartment on this thread, so ThreadExit leaves only then.
thread_local bool t_joined_apartment = false;

}  // namespace

Thread::Thread() = default;

Thread::Thread(const char* name) {
    SetName(name);
}

Thread::~Thread() {
    StopAndJoin();
}

DWORD Thread::Run() {
    return 0;
}

void Thread::ThreadInit() {
    t_joined_apartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

void Thread::ThreadExit() {
    if (t_joined_apartment) CoUninitialize();
    t_joined_apartment = false;
}

void Thread::SetName(const char* name) {
    std::memset(name_, 0, sizeof name_);
    if (name) std::strncpy(name_, name, kNameSize - 1);
}

DWORD Thread::ThreadProc(Thread* self) {
    if (!self) return 0xFFFFFFFF;
    // pthread names hold 15 characters; the full name stays in the name field.
    char os_name[16] = {};
    std::memcpy(os_name, self->name_, std::min(sizeof os_name - 1, std::strlen(self->name_)));
    if (os_name[0]) pthread_setname_np(pthread_self(), os_name);
    self->ThreadInit();
    DWORD result = 0;
    // A failure that escapes Run ends the thread with its status as the exit value.
    const HRESULT status = StatusOf([&] { result = self->Run(); });
    if (FAILED(status)) result = static_cast<DWORD>(status);
    self->ThreadExit();
    return result;
}

bool Thread::Start() {
    if (current_) {
        stop_event_.Set();
        if (current_->exited.Wait(200, WaitClock::kRealTime)) {
            current_->thread.join();
            current_.reset();
        } else {
            Retire();
        }
    }
    stop_event_.Reset();
    auto instance = std::make_unique<Instance>();
    Instance* raw = instance.get();
    // Not a boundary: a thread the system cannot create is a false return, nothing else.
    try {
        instance->thread = std::thread([this, raw] {
            thread_id_.store(static_cast<DWORD>(gettid()), std::memory_order_release);
            raw->started.Set();
            raw->exit_code = ThreadProc(this);
            raw->exited.Set();
        });
    } catch (const std::system_error&) {
        return false;
    }
    current_ = std::move(instance);
    // Let the new thread begin (and publish its id) before the caller goes on.
    raw->started.Wait();
    return true;
}

bool Thread::Stop(DWORD timeout_ms) {
    stop_event_.Set();
    if (!current_) return true;
    if (current_->exited.Wait(timeout_ms, WaitClock::kRealTime)) {
        current_->thread.join();
        current_.reset();
        return true;
    }
    Retire();
    return false;
}

void Thread::StopAndJoin() {
    stop_event_.Set();
    Retire();
    for (auto& instance : retired_) {
        // Waiting for itself would never end, and its object is going away under it.
        if (instance->thread.get_id() == std::this_thread::get_id()) {
            std::fprintf(stderr, "thread %s joins itself\n", name_);
            std::abort();
        }
        // A thread that calls into this thread's apartment ends only once that call has run.
        WaitForEventsPumping({&instance->exited});
        instance->thread.join();
    }
    retired_.clear();
}

bool Thread::IsRunning() const {
    return current_ && !current_->exited.Wait(0);
}

void Thread::Retire() {
    if (current_) retired_.push_back(std::move(current_));
}
