// Interfaces of the scheduler: schedules, public holidays and the scheduler itself.
#pragma once

#include "interfaces/dispatch.h"
#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

class ScheduleBase;
class PHBase;

struct ISchedule : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0x40);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_EventNumber(LONG* pVal) = 0;
    virtual HRESULT put_EventNumber(LONG newVal) = 0;
    virtual HRESULT put_DayOfMonth(BSTR newVal) = 0;
    virtual HRESULT get_DayOfMonth(BSTR* pVal) = 0;
    virtual HRESULT put_MonthOfYear(BSTR newVal) = 0;
    virtual HRESULT get_MonthOfYear(BSTR* pVal) = 0;
    virtual HRESULT put_DayOfWeek(BSTR newVal) = 0;
    virtual HRESULT get_DayOfWeek(BSTR* pVal) = 0;
    virtual HRESULT put_RelativeTo(BSTR newVal) = 0;
    virtual HRESULT get_RelativeTo(BSTR* pVal) = 0;
    virtual HRESULT put_Hours(LONG newVal) = 0;
    virtual HRESULT get_Hours(LONG* pVal) = 0;
    virtual HRESULT put_Minutes(LONG newVal) = 0;
    virtual HRESULT get_Minutes(LONG* pVal) = 0;
    virtual HRESULT put_Enable(VARIANT_BOOL newVal) = 0;
    virtual HRESULT get_Enable(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT Trigger() = 0;

  protected:
    ~ISchedule() = default;
};

// Internal identity: hands out the schedule core without a reference.
struct _IInternalSchedule {
    static constexpr IID kIid = brevanto_ids::Make(0x41);
    static constexpr bool kUncounted = true;
    virtual HRESULT GetSchedule(ScheduleBase** schedule) = 0;

  protected:
    ~_IInternalSchedule() = default;
};

struct IPublicHoliday : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0x42);
    static const InterfaceDesc& Describe();
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Year(LONG newVal) = 0;
    virtual HRESULT get_Year(LONG* pVal) = 0;
    virtual HRESULT put_Month(LONG newVal) = 0;
    virtual HRESULT get_Month(LONG* pVal) = 0;
    virtual HRESULT put_Day(LONG newVal) = 0;
    virtual HRESULT get_Day(LONG* pVal) = 0;

  protected:
    ~IPublicHoliday() = default;
};

// Internal identity: hands out the holiday core without a reference.
struct _IInternalPublicHoliday {
    static constexpr IID kIid = brevanto_ids::Make(0x43);
    static constexpr bool kUncounted = true;
    virtual HRESULT GetHoliday(PHBase** holiday) = 0;

  protected:
    ~_IInternalPublicHoliday() = default;
};

struct IScheduler : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0x44);
    static const InterfaceDesc& Describe();
    virtual HRESULT get_Schedules(IGenericCollection** pVal) = 0;
    virtual HRESULT get_PublicHolidays(IGenericCollection** pVal) = 0;
    virtual HRESULT get_Locale(BSTR* pVal) = 0;
    virtual HRESULT put_Locale(BSTR newVal) = 0;
    virtual HRESULT get_Lat(FLOAT* pVal) = 0;
    virtual HRESULT get_Long(FLOAT* pVal) = 0;
    virtual HRESULT get_City(BSTR* pVal) = 0;
    virtual HRESULT get_Timezone(BSTR* pVal) = 0;
    virtual HRESULT Save() = 0;
    virtual HRESULT get_Country(BSTR* pVal) = 0;
    virtual HRESULT SunriseSunsetTimes(IDispatch* day, IDispatch** Sunrise, IDispatch** Sunset) = 0;

  protected:
    ~IScheduler() = default;
};
