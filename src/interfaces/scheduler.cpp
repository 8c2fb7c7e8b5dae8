#include "interfaces/scheduler.h"

const InterfaceDesc& ISchedule::Describe() {
    using I = ISchedule;
    static const InterfaceDesc desc(
        u"ISchedule", kIid, nullptr,
        {
            Get<&I::get_Name>(u"Name", 0x190),
            Put<&I::put_Name>(u"Name", 0x190, {Arg(u"newVal")}),
            Get<&I::get_EventNumber>(u"EventNumber", 0x191),
            Put<&I::put_EventNumber>(u"EventNumber", 0x191, {Arg(u"newVal")}),
            Put<&I::put_DayOfMonth>(u"DayOfMonth", 0x192, {Arg(u"newVal")}),
            Get<&I::get_DayOfMonth>(u"DayOfMonth", 0x192),
            Put<&I::put_MonthOfYear>(u"MonthOfYear", 0x193, {Arg(u"newVal")}),
            Get<&I::get_MonthOfYear>(u"MonthOfYear", 0x193),
            Put<&I::put_DayOfWeek>(u"DayOfWeek", 0x194, {Arg(u"newVal")}),
            Get<&I::get_DayOfWeek>(u"DayOfWeek", 0x194),
            Put<&I::put_RelativeTo>(u"RelativeTo", 0x195, {Arg(u"newVal")}),
            Get<&I::get_RelativeTo>(u"RelativeTo", 0x195),
            Put<&I::put_Hours>(u"Hours", 0x196, {Arg(u"newVal")}),
            Get<&I::get_Hours>(u"Hours", 0x196),
            Put<&I::put_Minutes>(u"Minutes", 0x197, {Arg(u"newVal")}),
            Get<&I::get_Minutes>(u"Minutes", 0x197),
            Put<&I::put_Enable>(u"Enable", 0x198, {Arg(u"newVal", VT_BOOL)}),
            Get<&I::get_Enable>(u"Enable", 0x198, {}, VT_BOOL),
            Method<&I::Trigger>(u"Trigger", 0x199),
        });
    return desc;
}

const InterfaceDesc& IPublicHoliday::Describe() {
    using I = IPublicHoliday;
    static const InterfaceDesc desc(u"IPublicHoliday", kIid, nullptr,
                                    {
                                        Put<&I::put_Name>(u"Name", 0x1c3, {Arg(u"newVal")}),
                                        Get<&I::get_Name>(u"Name", 0x1c3),
                                        Put<&I::put_Year>(u"Year", 0x1c4, {Arg(u"newVal")}),
                                        Get<&I::get_Year>(u"Year", 0x1c4),
                                        Put<&I::put_Month>(u"Month", 0x1c5, {Arg(u"newVal")}),
                                        Get<&I::get_Month>(u"Month", 0x1c5),
                                        Put<&I::put_Day>(u"Day", 0x1c6, {Arg(u"newVal")}),
                                        Get<&I::get_Day>(u"Day", 0x1c6),
                                    });
    return desc;
}

const InterfaceDesc& IScheduler::Describe() {
    using I = IScheduler;
    static const InterfaceDesc desc(
        u"IScheduler", kIid, nullptr,
        {
            Get<&I::get_Schedules>(u"Schedules", 0x1f5),
            Get<&I::get_PublicHolidays>(u"PublicHolidays", 0x1f7),
            Get<&I::get_Locale>(u"Locale", 0x1f8),
            Put<&I::put_Locale>(u"Locale", 0x1f8, {Arg(u"newVal")}),
            Get<&I::get_Lat>(u"Lat", 0x1f9),
            Get<&I::get_Long>(u"Long", 0x1fa),
            Get<&I::get_City>(u"City", 0x1fb),
            Get<&I::get_Timezone>(u"Timezone", 0x1fc),
            Method<&I::Save>(u"Save", 0x1fd),
            Get<&I::get_Country>(u"Country", 0x1fe),
            Method<&I::SunriseSunsetTimes>(u"SunriseSunsetTimes", 0x1ff,
                                           {Arg(u"day"), Arg(u"Sunrise"), Arg(u"Sunset")}),
        });
    return desc;
}
