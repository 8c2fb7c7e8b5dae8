// A SYSTEMTIME as "2026-01-15 18:00:01", so that one comparison shows every field that differs.
#pragma once

#include <cstdio>
#include <string>

#include "platform/variant.h"

inline std::string ShowSystemTime(const SYSTEMTIME& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}
