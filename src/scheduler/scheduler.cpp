#include "scheduler/scheduler.h"

void CScheduler::Start() {
    thread_.Start();
}

void CScheduler::Shutdown() {
    thread_.StopAndJoin();
}

void CScheduler::Destroy() {
    timers_.ClearAll();
}
