// The scheduler: owner of everything time-of-day related. It keeps the live schedules and the
// public holidays (script collections), the panel's place and time zone, the script timers, and
// the timer thread that runs every timer and schedule of the panel.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dispatch/collection.h"
#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/runtime.h"
#include "interfaces/scheduler.h"
#include "persistence/config_object.h"
#include "platform/com_object.h"
#include "platform/lock.h"
#include "platform/time_zone.h"
#include "runtime/schedule_thread.h"
#include "scheduler/public_holiday.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler_files.h"
#include "scheduler/solar.h"

class CScheduler
    : public ComObjectRoot<CScheduler, IDispatchExImpl<IScheduler>, IDestroy, IReadOnlyTest>,
      public ScheduleCalendar {
  public:
    static constexpr std::u16string_view kSchedulesFile = u"Schedules";
    static constexpr std::u16string_view kPublicHolidaysFile = u"PublicHolidays";
    static constexpr std::u16string_view kLocaleSetting = u"locale";
    static constexpr std::u16string_view kHiddenScript = u" hidden script";

    CScheduler();
    CScheduler(const CScheduler&) = delete;
    CScheduler& operator=(const CScheduler&) = delete;

    // Started with the Global, stopped at its shut-down; a stopped thread fires nothing more and
    // lets go of every queued timer.
    void Start();
    void Shutdown();

    // ---- IScheduler ----
    HRESULT get_Schedules(IGenericCollection** pVal) override;
    HRESULT get_PublicHolidays(IGenericCollection** pVal) override;
    HRESULT get_Locale(BSTR* pVal) override;
    // Loads the locale file of that name; E_INVALIDARG (the place unchanged, the name kept)
    // when it is missing or unreadable.
    HRESULT put_Locale(BSTR newVal) override;
    HRESULT get_Lat(FLOAT* pVal) override;
    HRESULT get_Long(FLOAT* pVal) override;
    HRESULT get_City(BSTR* pVal) override;
    HRESULT get_Timezone(BSTR* pVal) override;
    // Writes both files (when a Global exists), then programs every schedule again.
    HRESULT Save() override;
    HRESULT get_Country(BSTR* pVal) override;
    HRESULT SunriseSunsetTimes(IDispatch* day, IDispatch** Sunrise, IDispatch** Sunset) override;

    // ---- IDestroy: empties the collections (the last step of the Global's shut-down) ----
    HRESULT Destroy() override;
    // ---- IReadOnlyTest: calls through a page's context pass unchanged ----
    HRESULT RewriteCall(DISPID*, DISPPARAMS*, WORD*) override { return S_OK; }
    HRESULT WrapResult(DISPID) override { return S_OK; }

    // ---- ScheduleCalendar ----
    bool IsHolidayOn(DateValue date) override;
    DateValue SunriseOn(DateValue date) override;
    DateValue SunsetOn(DateValue date) override;

    // ---- For the Global and the network side ----
    // Start-up: the locale named by the configuration, then the holidays and the schedules of
    // `data_directory`; false when there is no usable locale (nothing else is loaded then).
    // `script_context` makes the plain objects of the files (the host's hidden script).
    bool Load(std::u16string_view data_directory, CConfigOb& config, IDispatch* script_context);
    void SetDataDirectory(std::u16string_view directory);
    // The schedules whose EventNumber is `event_number`, in collection order.
    std::vector<ComPtr<ISchedule>> FindByEventNumber(LONG event_number);
    // Enable or trigger each of those; how many there were.
    std::size_t EnableSchedules(LONG event_number, bool enable);
    std::size_t TriggerSchedules(LONG event_number);
    // The clock was set: every schedule is computed again.
    void ClockChanged();
    // The zone record of the current locale (as LoadTimeZone filled it).
    TIME_ZONE_INFORMATION ZoneInfo() const;
    // Sets the place directly (tests and tools); the zone is loaded as for a locale file.
    void SetPlace(const LocaleRecord& place);
    // Minutes added to the solar formulas on `date`.
    int ZoneOffsetMinutes(DateValue date) const;

    ScheduleThread& Thread() { return thread_; }
    void AddTimer(TimerBase* timer) { thread_.AddTimer(timer); }
    void RemoveTimer(TimerBase* timer) { thread_.RemoveTimer(timer); }
    // The script timers kept by the scheduler (scripts add to it; starting and firing timers
    // does not use it).
    STLObjectCollection<IDLTimer, IGenericCollection>& GetTimers() { return timers_; }
    STLObjectCollection<ISchedule, IGenericCollection>& Schedules() { return schedules_; }
    STLObjectCollection<IPublicHoliday, IGenericCollection>& PublicHolidays() { return holidays_; }

  private:
    class SchedNotifier;
    struct Place {
        std::u16string locale, city, timezone, country;
        float lat = 0, lng = 0;
        bool use_daylight_saving = false;
        TIME_ZONE_INFORMATION zone{};
    };

    Place CurrentPlace() const;
    // Fills the zone record: the machine's zone, replaced by the named one when it is known.
    static void LoadTimeZone(Place* place);
    // Computes the schedule's next run and queues its timer.
    void Arm(ScheduleBase* schedule);
    void Disarm(ScheduleBase* schedule);
    // Every live schedule's core, in collection order.
    std::vector<ref<ScheduleBase>> LiveSchedules();
    std::u16string DataDirectory() const;
    HRESULT GetText(const std::u16string Place::*field, BSTR* out) const;

    ScheduleThread thread_;
    STLObjectCollection<IDLTimer, IGenericCollection> timers_;
    STLObjectCollection<ISchedule, IGenericCollection> schedules_;
    STLObjectCollection<IPublicHoliday, IGenericCollection> holidays_;
    mutable CCriticalSectionEx place_lock_;  // guards place_ and data_directory_
    Place place_;
    std::u16string data_directory_;
};
