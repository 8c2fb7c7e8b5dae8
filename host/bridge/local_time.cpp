#include "host/bridge/local_time.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <limits>

#include "platform/clock.h"

namespace brevanto_host {

namespace {

// Calls a parameterless method of a script object (a Date's getters) for a number.
HRESULT CallNumber(IDispatch* object, const char16_t* method, LONG* out) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(method)};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) return hr;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    CComVariant result;
    hr = object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result,
                        nullptr, nullptr);
    if (SUCCEEDED(hr)) hr = result.ChangeType(VT_I4);
    if (SUCCEEDED(hr)) *out = result.lVal;
    return hr;
}

}  // namespace

HRESULT SetLocalTimeFromDate(IDispatch* date, const LocalTimePolicy& policy, std::string* refusal) {
    if (!date) return E_INVALIDARG;
    if (!policy.own_clock && (!policy.allow_system || geteuid() != 0)) {
        *refusal =
            "SetLocalTime refused: the system clock is set only when running as root with "
            "--allow-clock";
        return E_ACCESSDENIED;
    }
    LONG year, month, day, hour, minute, second;
    HRESULT hr;
    if (FAILED(hr = CallNumber(date, u"getFullYear", &year)) ||
        FAILED(hr = CallNumber(date, u"getMonth", &month)) ||
        FAILED(hr = CallNumber(date, u"getDate", &day)) ||
        FAILED(hr = CallNumber(date, u"getHours", &hour)) ||
        FAILED(hr = CallNumber(date, u"getMinutes", &minute)) ||
        FAILED(hr = CallNumber(date, u"getSeconds", &second)))
        return hr;
    // A calendar time counts its years from 1900 in an int: a year below the lowest it holds is
    // no time the clock can be set to.
    if (year < std::numeric_limits<int>::min() + 1900) return E_INVALIDARG;
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    timespec now{std::mktime(&local), 0};
    if (now.tv_sec == -1) return E_FAIL;
    if (policy.own_clock) {
        // The library's clock counts nanoseconds from 1970 in 64 bits: a time beyond them (the
        // years before 1678 and after 2261) is none it can be set to.
        using std::chrono::seconds, std::chrono::system_clock;
        constexpr auto kLatest = std::chrono::floor<seconds>(system_clock::duration::max());
        constexpr auto kEarliest = std::chrono::ceil<seconds>(system_clock::duration::min());
        if (now.tv_sec > kLatest.count() || now.tv_sec < kEarliest.count()) return E_INVALIDARG;
        StartWallClockAt(system_clock::from_time_t(now.tv_sec));
        return S_OK;
    }
    if (clock_settime(CLOCK_REALTIME, &now) != 0) return E_FAIL;
    return S_OK;
}

}  // namespace brevanto_host
