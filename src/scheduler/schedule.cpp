#include "scheduler/schedule.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "dispatch/collection.h"
#include "platform/boundary.h"
#include "platform/clock.h"
#include "platform/var_date.h"

namespace {

constexpr MaskKeyword kDayOfWeekTable[] = {
    {u"all", 0xFF, true, true, 3},         {u"weekdays", 0x3E, true, true, 5},
    {u"weekends", 0x41, true, true, 5},    {u"wd", 0x3E, true, true, 2},
    {u"we", 0x41, true, true, 5},          {u"sunday", 0x01, false, false, 3},
    {u"monday", 0x02, false, false, 3},    {u"tuesday", 0x04, false, false, 3},
    {u"wednesday", 0x08, false, false, 3}, {u"thursday", 0x10, false, false, 3},
    {u"friday", 0x20, false, false, 3},    {u"saturday", 0x40, false, false, 3},
    {u"PH", 0x80, false, false, 3},
};

constexpr MaskKeyword kMonthTable[] = {
    {u"all", 0xFFF, true, true, 3},        {u"january", 0x1, false, false, 3},
    {u"february", 0x2, false, false, 3},   {u"march", 0x4, false, false, 3},
    {u"april", 0x8, false, false, 3},      {u"may", 0x10, false, false, 3},
    {u"june", 0x20, false, false, 3},      {u"july", 0x40, false, false, 3},
    {u"august", 0x80, false, false, 3},    {u"september", 0x100, false, false, 3},
    {u"october", 0x200, false, false, 3},  {u"november", 0x400, false, false, 3},
    {u"december", 0x800, false, false, 3},
};

constexpr std::u16string_view kDayNumbers[] = {
    u"1",  u"2",  u"3",  u"4",  u"5",  u"6",  u"7",  u"8",  u"9",  u"10", u"11",
    u"12", u"13", u"14", u"15", u"16", u"17", u"18", u"19", u"20", u"21", u"22",
    u"23", u"24", u"25", u"26", u"27", u"28", u"29", u"30", u"31"};

struct DayOfMonthTable {
    MaskKeyword rows[32];
    constexpr DayOfMonthTable() : rows{} {
        rows[0] = {u"all", ScheduleBase::kAllDaysOfMonth, true, true, 3};
        for (int d = 1; d <= 31; ++d)
            rows[d] = {kDayNumbers[d - 1], 1u << (d - 1), false, false, 2};
    }
};
constexpr DayOfMonthTable kDayOfMonthTable;

constexpr std::u16string_view kRelativeToNames[] = {u"midnight", u"sunrise", u"sunset"};
constexpr LONG kNoSchedulerSunriseHours = 6;
constexpr LONG kNoSchedulerSunsetHours = 18;
constexpr double kSecondsPerDay = 86400;
constexpr LONG kMinimumWaitMs = 1000;  // a rule that points into the past never spins
constexpr std::size_t kLogLineCharacters = 256;

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

bool KeywordMatches(const MaskKeyword& row, std::u16string_view token) {
    for (int i = 0; i < row.compare_length; ++i) {
        const char16_t k = i < static_cast<int>(row.keyword.size()) ? row.keyword[i] : 0;
        const char16_t t = i < static_cast<int>(token.size()) ? token[i] : 0;
        if (Lower(k) != Lower(t)) return false;
        if (k == 0) return true;
    }
    return true;
}

bool SameTextNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::u16string_view View(BSTR text) {
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

HRESULT CopyOut(std::u16string_view text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Seconds of a span of days, rounded half away from zero.
long long WholeSeconds(double days) {
    const double seconds = days * kSecondsPerDay;
    return static_cast<long long>(seconds < 0 ? seconds - 0.5 : seconds + 0.5);
}

// The timer inside a schedule: tells its schedule when the timer thread lets go of it.
class ScheduleTimer : public TimerBase {
  public:
    void OnExpired() override {
        if (ref<TimeoutHandler> handler = this->handler())
            if (auto* schedule = dynamic_cast<ScheduleBase*>(handler.get()))
                schedule->OnTimerLetGo();
    }
};

}  // namespace

MaskTable DayOfWeekKeywords() {
    return kDayOfWeekTable;
}
MaskTable MonthKeywords() {
    return kMonthTable;
}
MaskTable DayOfMonthKeywords() {
    return kDayOfMonthTable.rows;
}

ULONG ParseMask(MaskTable table, std::u16string_view text) {
    ULONG result = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == u' ' || text[at] == u','))
            ++at;
        std::size_t end = at;
        while (end < text.size() && text[end] != u' ' && text[end] != u',')
            ++end;
        if (end == at) break;
        const std::u16string_view token = text.substr(at, end - at);
        at = end;
        for (const MaskKeyword& row : table) {
            if (!KeywordMatches(row, token)) continue;
            result = row.assign ? row.mask : (result | row.mask);
            if (row.stop) return result;
            break;
        }
    }
    return result;
}

std::u16string FormatMask(MaskTable table, ULONG mask) {
    std::u16string text;
    for (const MaskKeyword& row : table) {
        const bool match = row.assign ? mask == row.mask : (mask & row.mask) == row.mask;
        if (!match) continue;
        if (row.stop) return std::u16string(row.keyword);
        if (!text.empty()) text += u' ';
        text += row.keyword;
    }
    return text;
}

LONG ParseRelativeTo(std::u16string_view text) {
    if (SameTextNoCase(text, u"sunrise") || SameTextNoCase(text, u"sr")) return kRelativeToSunrise;
    if (SameTextNoCase(text, u"sunset") || SameTextNoCase(text, u"ss")) return kRelativeToSunset;
    return kRelativeToMidnight;
}

std::u16string_view FormatRelativeTo(LONG relative_to) {
    if (relative_to == kRelativeToSunrise || relative_to == kRelativeToSunset)
        return kRelativeToNames[relative_to];
    return kRelativeToNames[kRelativeToMidnight];
}

DateValue LocalNowDate() {
    SYSTEMTIME now = LocalNow();
    double date = 0;
    automation::PartsToDate(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                            &date);
    return DateValue{automation::AddDays(date, now.wMilliseconds / (kSecondsPerDay * 1000)), true};
}

// ---- ScheduleBase ----

ScheduleBase::ScheduleBase() {
    ScheduleBase::Reset();
}

void ScheduleBase::Reset() {
    enabled_.store(0);
    event_number_.store(-1);
    day_of_month_.store(0);
    month_of_year_.store(0);
    day_of_week_.store(0);
    not_within_two_days_.store(0);
    relative_to_.store(kRelativeToMidnight);
    hours_.store(0);
    minutes_.store(0);
    ref<TimerBase> timer = new ScheduleTimer;
    timer->Initialise();
    timer->set_handler(this);
    ref<ScheduleHandler> old_handler;
    ref<TimerBase> old_timer;
    {
        CScopedLock lock(lock_);
        name_.clear();
        old_handler = std::exchange(handler_, nullptr);
        old_timer = std::exchange(timer_, timer);
    }
    if (old_timer) old_timer->Detach();
}

void ScheduleBase::SetEnable(bool enable) {
    const bool was = enabled_.exchange(enable ? 1 : 0) == 1;
    ref<ScheduleHandler> handler = this->handler();
    if (!handler || was == enable) return;
    if (enable) {
        handler->OnEnabled(this);
    } else {
        handler->OnDisabled(this);
    }
}

void ScheduleBase::Trigger() {
    Fire();
}

void ScheduleBase::Fire() {
    if (ref<ScheduleHandler> handler = this->handler()) handler->OnFired(this);
}

void ScheduleBase::DropReferences() {
    ref<ScheduleHandler> handler;
    ref<TimerBase> timer;
    {
        CScopedLock lock(lock_);
        handler = std::exchange(handler_, nullptr);
        timer = std::exchange(timer_, nullptr);
    }
    if (timer) timer->Detach();
}

void ScheduleBase::TimedOut(TimerBase*) {
    // Runs on the timer thread, which nothing may leave by an exception: a firing that runs out
    // of memory is skipped, and the next run is computed all the same.
    StatusOf([&] {
        if (enabled() && !not_within_two_days()) Trigger();
    });
    StatusOf([&] { ScheduleNext(); });
}

bool ScheduleBase::MatchesDay(DateValue day, ScheduleCalendar* calendar) const {
    SYSTEMTIME parts;
    if (!solar::PartsOf(day, &parts)) return false;
    const ULONG day_bit = 1u << (parts.wDay - 1);
    const ULONG month_bit = 1u << (parts.wMonth - 1);
    const ULONG weekday_bit = 1u << parts.wDayOfWeek;
    const ULONG weekdays = day_of_week();
    const bool day_and_month = (day_of_month() & day_bit) && (month_of_year() & month_bit);
    if (day_and_month && (weekdays & weekday_bit)) return true;
    // A public holiday matches whatever weekday it falls on.
    return day_and_month && (weekdays & kPublicHolidayBit) && calendar &&
           calendar->IsHolidayOn(day);
}

LONG ScheduleBase::TimeOfDaySeconds(DateValue day, ScheduleCalendar* calendar) const {
    // The rule's arithmetic is 32-bit: computed wide, a time past 32 bits keeps its low 32 bits
    // (the conversion to LONG wraps) instead of overflowing.
    const std::int64_t h = hours(), m = minutes();
    const LONG relative = relative_to();
    std::int64_t seconds = (h * 60 + m) * 60;
    if (relative == kRelativeToSunrise || relative == kRelativeToSunset) {
        const bool sunrise = relative == kRelativeToSunrise;
        int sun_hour = sunrise ? kNoSchedulerSunriseHours : kNoSchedulerSunsetHours, sun_minute = 0;
        if (calendar)
            solar::HourMinuteOf(sunrise ? calendar->SunriseOn(day) : calendar->SunsetOn(day),
                                &sun_hour, &sun_minute);
        seconds = ((sun_hour + h) * 60 + sun_minute + m) * 60;
    }
    return static_cast<LONG>(seconds);
}

bool ScheduleBase::ScheduleNext(DateValue now, ScheduleCalendar* calendar) {
    ref<TimerBase> timer = this->timer();
    if (day_of_month() == 0 || day_of_week() == 0 || month_of_year() == 0 || !enabled()) {
        enabled_.store(0);
        if (timer) timer->set_enabled(0);
        return false;
    }
    // Runs are due one second after the nominal time (a schedule for 18:30 runs at 18:30:01).
    // Today's midnight is the whole part of now, whichever side of day 0.
    DateValue day{automation::AddDays(std::trunc(now.days), 1 / kSecondsPerDay), true};
    auto wait_until = [&] {
        return automation::DaysBetween(now.days, day.days) +
               TimeOfDaySeconds(day, calendar) / kSecondsPerDay;
    };
    not_within_two_days_.store(0);
    double wait_days = 0;
    int tried = 0;
    for (;;) {
        if (MatchesDay(day, calendar)) {
            wait_days = wait_until();
            if (WholeSeconds(wait_days) > 1) break;
        }
        day.days = automation::AddDays(day.days, 1);
        if (++tried >= kDaysLookedAt) break;
    }
    if (tried >= kDaysLookedAt) {
        // No run today or tomorrow: wake the day after and look again, without firing.
        not_within_two_days_.store(1);
        wait_days = wait_until();
    }
    LONG wait_ms = WrappingProduct(static_cast<LONG>(WholeSeconds(wait_days)), 1000);
    LogWait(wait_ms);
    if (wait_ms < kMinimumWaitMs) wait_ms = kMinimumWaitMs;
    if (timer) {
        timer->set_one_shot(0);
        timer->set_period(wait_ms);
        timer->set_enabled(1);
    }
    return true;
}

bool ScheduleBase::ScheduleNext() {
    CurrentGlobal::Hold global = CurrentGlobal::Get();
    auto* services = global.As<SchedulerServices>();
    return ScheduleNext(LocalNowDate(), services ? services->Calendar() : nullptr);
}

void ScheduleBase::LogWait(LONG wait_ms) const {
    CurrentGlobal::Hold global = CurrentGlobal::Get();
    if (!global) return;
    const std::string name = Utf16ToUtf8(this->name());
    char line[kLogLineCharacters];
    if (not_within_two_days()) {
        std::snprintf(line, sizeof line, "Schedule %s will not run in the next 2 days\r\n",
                      name.c_str());
    } else {
        std::snprintf(line, sizeof line, "Schedule %s must wait %d seconds to run\r\n",
                      name.c_str(), static_cast<int>(wait_ms / 1000));
    }
    CComBSTR text(Utf8ToUtf16(line).c_str());
    if (text) global->Log(text);
}

std::u16string ScheduleBase::name() const {
    CScopedLock lock(lock_);
    return name_;
}

void ScheduleBase::set_name(std::u16string_view name) {
    std::u16string copy(name);
    CScopedLock lock(lock_);
    name_.swap(copy);
}

ref<ScheduleHandler> ScheduleBase::handler() const {
    CScopedLock lock(lock_);
    return handler_;
}

void ScheduleBase::set_handler(ScheduleHandler* handler) {
    ref<ScheduleHandler> keep(handler);
    CScopedLock lock(lock_);
    std::swap(handler_, keep);
}

ref<TimerBase> ScheduleBase::timer() const {
    CScopedLock lock(lock_);
    return timer_;
}

// ---- COMSchedule ----

void COMSchedule::Reset() {
    ScheduleBase::Reset();
    CScopedLock lock(owner_lock_);
    owner_ = nullptr;
}

void COMSchedule::Fire() {
    ComPtr<ISchedule> owner;
    {
        // Whoever fires holds the script object: the timer thread through keep_alive_, the
        // network side and scripts through their own references.
        CScopedLock lock(owner_lock_);
        owner = owner_;
    }
    if (CurrentGlobal::Hold global = CurrentGlobal::Get()) {
        CComBSTR event(kEventName.data());
        if (!event) ThrowIfFailed(E_OUTOFMEMORY);
        global->RaiseEvent(event, owner.get());
    }
    ScheduleBase::Fire();
}

void COMSchedule::OnTimerQueued() {
    CScopedLock lock(owner_lock_);
    if (owner_ && queued_++ == 0) keep_alive_ = owner_;
}

void COMSchedule::OnTimerLetGo() {
    ComPtr<ISchedule> released;
    {
        CScopedLock lock(owner_lock_);
        if (queued_ > 0 && --queued_ == 0) released = std::move(keep_alive_);
    }
    // Released outside the lock: it may be the last hold on the script object.
}

void COMSchedule::SetOwner(ISchedule* owner) {
    CScopedLock lock(owner_lock_);
    owner_ = owner;
}

// ---- CSchedule ----

HRESULT CSchedule::FinalConstruct() {
    return StatusOf([&] {
        DispatchExMembers().set_expandable(true);
        schedule_ = new COMSchedule;
        schedule_->SetOwner(this);
    });
}

void CSchedule::FinalRelease() {
    if (!schedule_) return;
    schedule_->SetOwner(nullptr);
    schedule_->DropReferences();
    schedule_ = nullptr;
}

HRESULT CSchedule::get_Name(BSTR* pVal) {
    return StatusOf([&] { return CopyOut(schedule_->name(), pVal); });
}
HRESULT CSchedule::put_Name(BSTR newVal) {
    return StatusOf([&] { schedule_->set_name(View(newVal)); });
}
HRESULT CSchedule::get_EventNumber(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = schedule_->event_number();
    return S_OK;
}
HRESULT CSchedule::put_EventNumber(LONG newVal) {
    schedule_->set_event_number(newVal);
    return S_OK;
}
HRESULT CSchedule::put_DayOfMonth(BSTR newVal) {
    schedule_->set_day_of_month(ParseMask(DayOfMonthKeywords(), View(newVal)));
    return S_OK;
}
HRESULT CSchedule::get_DayOfMonth(BSTR* pVal) {
    return StatusOf(
        [&] { return CopyOut(FormatMask(DayOfMonthKeywords(), schedule_->day_of_month()), pVal); });
}
HRESULT CSchedule::put_MonthOfYear(BSTR newVal) {
    schedule_->set_month_of_year(ParseMask(MonthKeywords(), View(newVal)));
    return S_OK;
}
HRESULT CSchedule::get_MonthOfYear(BSTR* pVal) {
    return StatusOf(
        [&] { return CopyOut(FormatMask(MonthKeywords(), schedule_->month_of_year()), pVal); });
}
HRESULT CSchedule::put_DayOfWeek(BSTR newVal) {
    schedule_->set_day_of_week(ParseMask(DayOfWeekKeywords(), View(newVal)));
    return S_OK;
}
HRESULT CSchedule::get_DayOfWeek(BSTR* pVal) {
    return StatusOf(
        [&] { return CopyOut(FormatMask(DayOfWeekKeywords(), schedule_->day_of_week()), pVal); });
}
HRESULT CSchedule::put_RelativeTo(BSTR newVal) {
    schedule_->set_relative_to(ParseRelativeTo(View(newVal)));
    return S_OK;
}
HRESULT CSchedule::get_RelativeTo(BSTR* pVal) {
    return CopyOut(FormatRelativeTo(schedule_->relative_to()), pVal);
}
HRESULT CSchedule::put_Hours(LONG newVal) {
    schedule_->set_hours(newVal);
    return S_OK;
}
HRESULT CSchedule::get_Hours(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = schedule_->hours();
    return S_OK;
}
HRESULT CSchedule::put_Minutes(LONG newVal) {
    schedule_->set_minutes(newVal);
    return S_OK;
}
HRESULT CSchedule::get_Minutes(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = schedule_->minutes();
    return S_OK;
}
HRESULT CSchedule::put_Enable(VARIANT_BOOL newVal) {
    schedule_->SetEnable(newVal == VARIANT_TRUE);
    return S_OK;
}
HRESULT CSchedule::get_Enable(VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = schedule_->enabled() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT CSchedule::Trigger() {
    return StatusOf([&] { schedule_->Trigger(); });
}

HRESULT CSchedule::GetSchedule(ScheduleBase** schedule) {
    if (!schedule) return E_POINTER;
    *schedule = schedule_.get();
    return *schedule ? S_OK : E_FAIL;
}

HRESULT CSchedule::GetTypeName(BSTR* name) {
    return CopyOut(kTypeName, name);
}
HRESULT CSchedule::get_DynamicMembers(VARIANT_BOOL* enabled) {
    if (!enabled) return E_POINTER;
    *enabled = DispatchExMembers().expandable() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT CSchedule::put_DynamicMembers(VARIANT_BOOL enabled) {
    DispatchExMembers().set_expandable(enabled == VARIANT_TRUE);
    return S_OK;
}
HRESULT CSchedule::GetMemberNames(VARIANT* names) {
    return DispatchExMembers().GetMemberNames(names);
}

ref<ScheduleBase> ScheduleOf(IUnknown* object) {
    if (!object) return nullptr;
    ComPtr<IUnknown> resolved(object);
    if (FAILED(ResolvePlaceHolder(&resolved)) || !resolved) return nullptr;
    _IInternalSchedule* internal = nullptr;  // not counted
    if (FAILED(resolved->QueryInterface(&internal)) || !internal) return nullptr;
    ScheduleBase* schedule = nullptr;
    if (FAILED(internal->GetSchedule(&schedule))) return nullptr;
    return schedule;
}
