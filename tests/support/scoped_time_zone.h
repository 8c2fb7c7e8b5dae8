// The machine's zone (TZ) set for a test's scope, and put back as it was at the end.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        const char* before = getenv("TZ");
        had_ = before != nullptr;
        if (before) before_ = before;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (had_) {
            setenv("TZ", before_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  private:
    bool had_ = false;
    std::string before_;
};
