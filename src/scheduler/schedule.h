// Schedules: a named rule that raises "ScheduledEvent" at a time of day (from midnight, sunrise
// or sunset) on the days its three masks select, looking at most at today and tomorrow for its
// next run. ScheduleBase is the rule and its timer, COMSchedule the variant behind a script
// Schedule object, CSchedule the script object.
#pragma once

#include <atomic>
#include <span>
#include <string>
#include <string_view>

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/persistence.h"
#include "interfaces/scheduler.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/lock.h"
#include "platform/object_safety.h"
#include "runtime/current_global.h"
#include "runtime/timer.h"
#include "scheduler/solar.h"

class ScheduleBase;

// Told of a schedule's firing and of changes of its Enable.
class ScheduleHandler : public virtual RefCounted {
  public:
    virtual void OnFired(ScheduleBase* schedule) = 0;
    virtual void OnEnabled(ScheduleBase* schedule) = 0;
    virtual void OnDisabled(ScheduleBase* schedule) = 0;
};

// What a schedule asks of the scheduler it runs under: public holidays and the sun's times
// (local, for the scheduler's place and zone).
class ScheduleCalendar {
  public:
    virtual bool IsHolidayOn(DateValue date) = 0;
    virtual DateValue SunriseOn(DateValue date) = 0;
    virtual DateValue SunsetOn(DateValue date) = 0;

  protected:
    ~ScheduleCalendar() = default;
};

// What the scheduler layer asks of the current Global: the scheduler it owns.
class SchedulerServices : public virtual GlobalService {
  public:
    virtual ScheduleCalendar* Calendar() = 0;
};

// One row of a mask's keyword table: the keyword matches a token when their first
// `compare_length` characters are equal, ignoring case, the keyword's terminating zero taking
// part (so "su" is no "sunday", and "3x" no "3"). An `assign` row replaces the mask, others add
// their bits; a `stop` row ends the parse (and, when formatting, stands alone).
struct MaskKeyword {
    std::u16string_view keyword;
    ULONG mask;
    bool assign;
    bool stop;
    int compare_length;
};
using MaskTable = std::span<const MaskKeyword>;

MaskTable DayOfWeekKeywords();
MaskTable MonthKeywords();
MaskTable DayOfMonthKeywords();

// Tokens split at spaces and commas; unknown tokens are ignored; null or no token gives 0.
ULONG ParseMask(MaskTable table, std::u16string_view text);
// The keywords of the mask joined by single spaces ("" for 0).
std::u16string FormatMask(MaskTable table, ULONG mask);

enum RelativeToValue : LONG {
    kRelativeToMidnight = 0,
    kRelativeToSunrise = 1,
    kRelativeToSunset = 2
};
LONG ParseRelativeTo(std::u16string_view text);
std::u16string_view FormatRelativeTo(LONG relative_to);

// The rule. Its fields are written by scripts and read by the timer thread; each is read whole
// (atomics, and the name under a lock), and a change is seen at the next computation.
class ScheduleBase : public TimeoutHandler {
  public:
    static constexpr ULONG kAllDaysOfMonth = 0x7FFFFFFF;
    static constexpr ULONG kAllMonths = 0xFFF;
    static constexpr ULONG kPublicHolidayBit = 0x80;
    static constexpr int kDaysLookedAt = 2;  // today and tomorrow
    static constexpr std::u16string_view kEventName = u"ScheduledEvent";

    ScheduleBase();

    // Every field back to its default, with a new timer that calls this schedule.
    virtual void Reset();
    virtual void SetEnable(bool enable);
    // Fires now, whatever Enable and the masks say.
    virtual void Trigger();
    // Tells the handler; COMSchedule also raises the event.
    virtual void Fire();
    // Drops the handler and the timer (breaks the cycle schedule - timer - schedule).
    virtual void DropReferences();
    // The timer was queued on the timer thread / let go of by it.
    virtual void OnTimerQueued() {}
    virtual void OnTimerLetGo() {}

    // Timer expiry: fires when enabled and due, then computes the next run.
    void TimedOut(TimerBase* timer) override;

    // Whether the rule selects the local date; a public holiday (calendar's) also matches
    // through the holiday bit. Without a calendar holidays are ordinary days.
    bool MatchesDay(DateValue day, ScheduleCalendar* calendar) const;
    // Seconds after local midnight of `day` at which the rule runs (may be negative or beyond a
    // day); without a calendar sunrise is 06:00 and sunset 18:00.
    LONG TimeOfDaySeconds(DateValue day, ScheduleCalendar* calendar) const;
    // Programs the timer for the next run from `now` (today or tomorrow, one second after the
    // nominal time) and logs the wait; false, with the schedule switched off, when a mask is
    // empty or it is disabled.
    bool ScheduleNext(DateValue now, ScheduleCalendar* calendar);
    // The same from the local clock, under the current Global's scheduler.
    bool ScheduleNext();

    // ---- Fields ----
    bool enabled() const { return enabled_.load() > 0; }
    LONG enabled_value() const { return enabled_.load(); }
    std::u16string name() const;
    void set_name(std::u16string_view name);
    LONG event_number() const { return event_number_.load(); }
    void set_event_number(LONG value) { event_number_.store(value); }
    ULONG day_of_month() const { return day_of_month_.load(); }
    void set_day_of_month(ULONG mask) { day_of_month_.store(mask); }
    USHORT month_of_year() const { return month_of_year_.load(); }
    void set_month_of_year(ULONG mask) { month_of_year_.store(static_cast<USHORT>(mask)); }
    BYTE day_of_week() const { return day_of_week_.load(); }
    void set_day_of_week(ULONG mask) { day_of_week_.store(static_cast<BYTE>(mask)); }
    bool not_within_two_days() const { return not_within_two_days_.load() != 0; }
    LONG relative_to() const { return relative_to_.load(); }
    void set_relative_to(LONG value) { relative_to_.store(value); }
    LONG hours() const { return hours_.load(); }
    void set_hours(LONG value) { hours_.store(value); }
    LONG minutes() const { return minutes_.load(); }
    void set_minutes(LONG value) { minutes_.store(value); }
    ref<ScheduleHandler> handler() const;
    void set_handler(ScheduleHandler* handler);
    ref<TimerBase> timer() const;

  private:
    // Writes the wait to the current Global's log.
    void LogWait(LONG wait_ms) const;

    std::atomic<LONG> enabled_{0};
    mutable CCriticalSectionEx lock_;  // guards name_, handler_, timer_
    std::u16string name_;
    std::atomic<LONG> event_number_{-1};
    std::atomic<ULONG> day_of_month_{0};
    std::atomic<USHORT> month_of_year_{0};
    std::atomic<BYTE> day_of_week_{0};
    std::atomic<BYTE> not_within_two_days_{0};
    std::atomic<LONG> relative_to_{kRelativeToMidnight};
    std::atomic<LONG> hours_{0};
    std::atomic<LONG> minutes_{0};
    ref<ScheduleHandler> handler_;
    ref<TimerBase> timer_;
};

// The schedule behind a script Schedule: firing raises "ScheduledEvent" with the script object.
// While its timer is queued on the timer thread it keeps that object alive, so a firing never
// meets a script object that has gone.
class COMSchedule : public ScheduleBase {
  public:
    void Reset() override;
    void Fire() override;
    void OnTimerQueued() override;
    void OnTimerLetGo() override;

    // The script object (not counted: it owns this schedule).
    void SetOwner(ISchedule* owner);

  private:
    CCriticalSectionEx owner_lock_;  // guards the three below
    ISchedule* owner_ = nullptr;
    ComPtr<ISchedule> keep_alive_;
    int queued_ = 0;
};

// The current local time as a date value.
DateValue LocalNowDate();

// Schedule: the script object. Agile; scripts may add members, which files keep.
class CSchedule : public ComObjectRoot<CSchedule, IDispatchExImpl<ISchedule>, _IInternalSchedule,
                                       IQuorvaneSerialisable, MyIObjectSafetyImpl, IMarshal> {
  public:
    static constexpr std::u16string_view kTypeName = u"brevanto.schedule";

    HRESULT FinalConstruct();
    void FinalRelease();

    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_EventNumber(LONG* pVal) override;
    HRESULT put_EventNumber(LONG newVal) override;
    HRESULT put_DayOfMonth(BSTR newVal) override;
    HRESULT get_DayOfMonth(BSTR* pVal) override;
    HRESULT put_MonthOfYear(BSTR newVal) override;
    HRESULT get_MonthOfYear(BSTR* pVal) override;
    HRESULT put_DayOfWeek(BSTR newVal) override;
    HRESULT get_DayOfWeek(BSTR* pVal) override;
    HRESULT put_RelativeTo(BSTR newVal) override;
    HRESULT get_RelativeTo(BSTR* pVal) override;
    HRESULT put_Hours(LONG newVal) override;
    HRESULT get_Hours(LONG* pVal) override;
    HRESULT put_Minutes(LONG newVal) override;
    HRESULT get_Minutes(LONG* pVal) override;
    HRESULT put_Enable(VARIANT_BOOL newVal) override;
    HRESULT get_Enable(VARIANT_BOOL* pVal) override;
    HRESULT Trigger() override;

    HRESULT GetSchedule(ScheduleBase** schedule) override;

    HRESULT GetTypeName(BSTR* name) override;
    HRESULT get_DynamicMembers(VARIANT_BOOL* enabled) override;
    HRESULT put_DynamicMembers(VARIANT_BOOL enabled) override;
    HRESULT GetMemberNames(VARIANT* names) override;

    ref<COMSchedule> Schedule() const { return schedule_; }

  private:
    ref<COMSchedule> schedule_;
};

// The schedule core of a script object (a Schedule, or a placeholder standing for one); null
// for anything else.
ref<ScheduleBase> ScheduleOf(IUnknown* object);
