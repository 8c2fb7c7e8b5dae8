// The scheduler object: arming schedules as they join and leave the collection, the locale and
// its files, the sun's times for scripts, and the schedule and holiday files.
#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "scheduler/scheduler.h"
#include "support/data_directory.h"
#include "support/runtime_doubles.h"
#include "support/scheduler_support.h"
#include "support/scoped_time_zone.h"
#include "support/script_doubles.h"
#include "support/script_objects.h"
#include "support/system_time_text.h"

namespace {

// The sun's local times on a day, as the scheduler works them out for its place.
std::string Sun(CScheduler* scheduler, int year, int month, int day) {
    SYSTEMTIME rise{}, set{};
    solar::PartsOf(scheduler->SunriseOn(Date(year, month, day)), &rise);
    solar::PartsOf(scheduler->SunsetOn(Date(year, month, day)), &set);
    return ShowSystemTime(rise) + " to " + ShowSystemTime(set);
}

class SchedulerTest : public testing::Test {
  protected:
    void SetUp() override {
        // Tuesday 10 March 2026, 10:00 local time.
        TestClock::Install(
            0, std::chrono::sys_days{std::chrono::year{2026} / 3 / 10} + std::chrono::hours(10));
        scheduler_ = New<CScheduler>();
        scheduler_->SetDataDirectory(data_.Path());
    }
    void TearDown() override {
        scheduler_->Destroy();
        scheduler_ = nullptr;
        TestClock::Uninstall();
    }

    static std::string LocaleFile(const std::string& props) {
        return "<?xml version=\"1.0\"?>\n<OB Name=\"locale\">" + props + "</OB>\n";
    }
    static std::string Prop(const std::string& name, const std::string& value) {
        return "<PROP Name=\"" + name + "\" Value=\"" + value + "\"/>";
    }
    void PutPlace(const std::string& name, const std::string& timezone, bool daylight_saving,
                  const std::string& lat = "-33.87", const std::string& lng = "151.2") {
        data_.Put(name + ".xml",
                  LocaleFile(Prop("city", "Sydney") + Prop("country", "Australia") +
                             Prop("Lat", lat) + Prop("long", lng) + Prop("timezone", timezone) +
                             (daylight_saving ? Prop("UseDaylightSaving", "True") : "")));
    }
    // The locale's name and the place it set, as a script reads them.
    std::u16string Place(CScheduler* scheduler = nullptr) {
        return PropertyTexts(static_cast<IScheduler*>(scheduler ? scheduler : scheduler_.get()),
                             {u"Locale", u"City", u"Country", u"Timezone", u"Lat", u"Long"});
    }
    template <class Collection>
    static IDispatch* At(Collection& collection, LONG i) {
        CComVariant item;
        EXPECT_EQ(collection.get_Item(CComVariant(i), &item), S_OK);
        return item.pdispVal;  // the collection keeps it
    }
    void AddHoliday(LONG month, LONG day, const char16_t* name = nullptr) {
        ComPtr<CPublicHoliday> holiday = New<CPublicHoliday>();
        if (name) holiday->put_Name(CComBSTR(name));
        holiday->put_Year(0);
        holiday->put_Month(month);
        holiday->put_Day(day);
        scheduler_->PublicHolidays().Add(
            CComVariant(static_cast<IDispatch*>(static_cast<IPublicHoliday*>(holiday.get()))));
    }
    ComPtr<CSchedule> AddSchedule(LONG event_number, const char16_t* day_of_week = u"all") {
        ComPtr<CSchedule> schedule = New<CSchedule>();
        schedule->put_EventNumber(event_number);
        schedule->put_DayOfWeek(CComBSTR(day_of_week));
        schedule->put_DayOfMonth(CComBSTR(u"all"));
        schedule->put_MonthOfYear(CComBSTR(u"all"));
        schedule->put_Hours(18);
        schedule->put_Minutes(30);
        schedule->put_Enable(VARIANT_TRUE);
        EXPECT_EQ(scheduler_->Schedules().Add(CComVariant(
                      static_cast<IDispatch*>(static_cast<ISchedule*>(schedule.get())))),
                  S_OK);
        return schedule;
    }

    ScopedTimeZone zone_{"UTC"};
    DataDirectory data_;
    ComPtr<CScheduler> scheduler_;
};

TEST_F(SchedulerTest, TheCollectionArmsItsSchedulesAndFindsThemByEventNumber) {
    ComPtr<CSchedule> schedule = AddSchedule(1);
    ref<TimerBase> timer = schedule->Schedule()->timer();
    EXPECT_EQ(timer->period(), (8 * 3600 + 30 * 60 + 1) * 1000);  // 18:30:01 from 10:00

    // A change of the rule waits for the next computation; Save makes it at once.
    schedule->put_Hours(11);
    EXPECT_EQ(timer->period(), (8 * 3600 + 30 * 60 + 1) * 1000);
    scheduler_->Save();  // no Global: only reschedules
    EXPECT_EQ(timer->period(), (1 * 3600 + 30 * 60 + 1) * 1000);
    EXPECT_FALSE(data_.Has("Schedules.xml"));

    EXPECT_EQ(scheduler_->Schedules().Remove(CComVariant(LONG{0})), S_OK);
    EXPECT_EQ(timer->enabled(), 0);

    // The holidays of the collection make holiday schedules run: tomorrow is one.
    AddHoliday(3, 11);
    EXPECT_EQ(AddSchedule(2, u"PH")->Schedule()->timer()->period(),
              (32 * 3600 + 30 * 60 + 1) * 1000);

    // Event numbers find, enable and trigger schedules in collection order.
    std::string log;
    ComPtr<CSchedule> a = AddSchedule(5), b = AddSchedule(6), c = AddSchedule(5);
    a->Schedule()->set_handler(ref<ScheduleLog>(new ScheduleLog(&log, "a ")).get());
    b->Schedule()->set_handler(ref<ScheduleLog>(new ScheduleLog(&log, "b ")).get());
    c->Schedule()->set_handler(ref<ScheduleLog>(new ScheduleLog(&log, "c ")).get());

    EXPECT_EQ(scheduler_->EnableSchedules(5, false), 2u);
    EXPECT_EQ(scheduler_->TriggerSchedules(6), 1u);
    EXPECT_EQ(scheduler_->TriggerSchedules(5), 2u);  // disabled schedules fire when triggered
    EXPECT_EQ(scheduler_->TriggerSchedules(9), 0u);
    EXPECT_EQ(log, "a disabled c disabled b fired a fired c fired ");
}

TEST_F(SchedulerTest, LocaleFilesSetThePlaceAndItsSunAndAMissingOneKeepsIt) {
    PutPlace("Sydney", "AUS Eastern Standard Time", true);
    data_.Put("Nested.xml", LocaleFile("<OB>" + Prop("city", "Inner") + "</OB>"));
    ASSERT_EQ(scheduler_->put_Locale(CComBSTR(u"Sydney")), S_OK);
    EXPECT_EQ(Place(), u"Sydney|Sydney|Australia|AUS Eastern Standard Time|-33.87|151.2");
    EXPECT_EQ(scheduler_->ZoneOffsetMinutes(Date(2026, 1, 15, 12)), -540);  // daylight time
    EXPECT_EQ(Sun(scheduler_.get(), 2026, 6, 21), "2026-06-21 07:08:42 to 2026-06-21 17:03:45");
    EXPECT_EQ(Sun(scheduler_.get(), 2026, 1, 15), "2026-01-15 06:08:33 to 2026-01-15 20:18:05");
    // A script's call with one date missing sets nothing on the other.
    auto rise = New<CDispExObject>();
    IDispatch *given = rise.get(), *none = nullptr;
    EXPECT_EQ(scheduler_->SunriseSunsetTimes(given, &given, &none), E_POINTER);
    EXPECT_EQ(rise->members().Count(), 0u);

    EXPECT_EQ(scheduler_->put_Locale(CComBSTR(u"Nowhere")), E_INVALIDARG);
    EXPECT_EQ(Place(), u"Nowhere|Sydney|Australia|AUS Eastern Standard Time|-33.87|151.2");

    // PROPs inside a nested OB set nothing; no UseDaylightSaving means none.
    ASSERT_EQ(scheduler_->put_Locale(CComBSTR(u"Nested")), S_OK);
    EXPECT_EQ(Place(), u"Nested||||0|0");
    PutPlace("NoSaving", "Australia/Sydney", false);
    ASSERT_EQ(scheduler_->put_Locale(CComBSTR(u"NoSaving")), S_OK);
    EXPECT_EQ(scheduler_->ZoneOffsetMinutes(Date(2026, 1, 15, 12)), -600);
}

TEST_F(SchedulerTest, WindowsAndIanaZoneNamesGiveTheSameSunAcrossTransitions) {
    struct Place {
        const char* windows;
        const char* iana;
        const char* lat;
        const char* lng;
        int transition_months[2];
    } places[] = {
        {"AUS Eastern Standard Time", "Australia/Sydney", "-33.87", "151.2", {4, 10}},
        {"W. Europe Standard Time", "Europe/Berlin", "52.52", "13.4", {3, 10}},
    };
    ComPtr<CScheduler> other = New<CScheduler>();
    other->SetDataDirectory(data_.Path());
    for (const Place& place : places) {
        PutPlace("Windows", place.windows, true, place.lat, place.lng);
        PutPlace("Iana", place.iana, true, place.lat, place.lng);
        ASSERT_EQ(scheduler_->put_Locale(CComBSTR(u"Windows")), S_OK);
        ASSERT_EQ(other->put_Locale(CComBSTR(u"Iana")), S_OK);
        for (int year : {2023, 2024, 2025}) {
            for (int month : place.transition_months) {
                for (int day = 1; day <= (month == 4 ? 30 : 31); day += 3) {
                    SCOPED_TRACE(testing::Message()
                                 << place.iana << " " << year << "-" << month << "-" << day);
                    EXPECT_EQ(Sun(scheduler_.get(), year, month, day),
                              Sun(other.get(), year, month, day));
                }
            }
        }
    }
    other->Destroy();
}

TEST_F(SchedulerTest, SavedFilesComeBackOnTheNextLoad) {
    ComPtr<CSchedule> schedule = AddSchedule(12, u"weekdays");
    schedule->put_Name(CComBSTR(u"Porch lights"));
    schedule->put_RelativeTo(CComBSTR(u"sunset"));
    schedule->put_Minutes(-15);
    Set(static_cast<ISchedule*>(schedule.get()), u"Colour", CComVariant(u"amber"));
    ComPtr<CSchedule> off =
        AddSchedule(13, u"sunday monday tuesday wednesday thursday friday saturday");
    off->put_Enable(VARIANT_FALSE);
    AddHoliday(12, 25, u"Christmas");
    Set(At(scheduler_->PublicHolidays(), 0), u"Note", CComVariant(u"half day"));

    IdleGlobal global;  // with a current Global, Save writes both files
    CurrentGlobal::Set(&global);
    EXPECT_EQ(scheduler_->Save(), S_OK);
    CurrentGlobal::Clear(&global);
    const std::string written = data_.Get("Schedules.xml");
    for (const char* part : {"<root_object Type=\"Array\">", "<length Type=\"Integer\">2</length>",
                             "<item Index=\"0\" Type=\"brevanto.schedule\">",
                             "<DayOfWeek>weekdays</DayOfWeek>", "<RelativeTo>sunset</RelativeTo>",
                             "<Enable Type=\"Bool\">True</Enable>", "<Colour>amber</Colour>"})
        EXPECT_NE(written.find(part), std::string::npos) << part << "\n" << written;

    PutPlace("Sydney", "Australia/Sydney", true);
    ComPtr<CConfigOb> config = New<CConfigOb>();
    config->DispatchExMembers().SetValue(u"locale", CComVariant(u"Sydney"));
    ComPtr<HiddenScript> script = New<HiddenScript>();
    ComPtr<CScheduler> loaded = New<CScheduler>();
    ASSERT_TRUE(loaded->Load(data_.Path(), *config, script.get()));
    EXPECT_EQ(Place(loaded.get()), u"Sydney|Sydney|Australia|Australia/Sydney|-33.87|151.2");
    ASSERT_EQ(loaded->Schedules().Size(), 2u);
    ASSERT_EQ(loaded->PublicHolidays().Size(), 1u);
    IDispatch* first = At(loaded->Schedules(), 0);
    EXPECT_EQ(PropertyTexts(
                  first, {u"Name", u"DayOfWeek", u"RelativeTo", u"Minutes", u"Enable", u"Colour"}),
              u"Porch lights|weekdays|sunset|-15|True|amber");
    EXPECT_EQ(PropertyTexts(At(loaded->Schedules(), 1), {u"DayOfWeek", u"Enable"}),
              u"sunday monday tuesday wednesday thursday friday saturday|False");
    EXPECT_EQ(PropertyTexts(At(loaded->PublicHolidays(), 0), {u"Name", u"Note"}),
              u"Christmas|half day");
    EXPECT_TRUE(loaded->IsHolidayOn(Date(2031, 12, 25, 12)));
    ref<ScheduleBase> core = ScheduleOf(first);
    ASSERT_TRUE(core);
    EXPECT_EQ(core->timer()->enabled(), 1);
    loaded->Destroy();
}

TEST_F(SchedulerTest, LoadNeedsALocaleAndAHolidayFileMustHoldAnArray) {
    ComPtr<HiddenScript> script = New<HiddenScript>();
    data_.Put("PublicHolidays.xml",
              "<root_object Type=\"Object\"><item Index=\"0\" Type=\"brevanto.publicholiday\">"
              "<Month Type=\"Integer\">1</Month></item></root_object>");
    data_.Put("Schedules.xml",
              "<root_object Type=\"Array\"><item Index=\"0\" Type=\"Object\">"
              "<Name>Any type</Name></item></root_object>");
    // The configuration's locale (null: no setting), and whether the files load.
    const std::pair<const char16_t*, bool> cases[] = {
        {nullptr, false}, {u"", false}, {u"Nowhere", false}, {u"Sydney", true}};
    PutPlace("Sydney", "Australia/Sydney", true);
    // Read at start-up, before the host has a page engine, the files have no script context.
    for (IDispatch* context :
         {static_cast<IDispatch*>(script.get()), static_cast<IDispatch*>(nullptr)}) {
        for (const auto& [locale, loads] : cases) {
            ComPtr<CConfigOb> config = New<CConfigOb>();
            if (locale) config->DispatchExMembers().SetValue(u"locale", CComVariant(locale));
            ComPtr<CScheduler> loaded = New<CScheduler>();
            EXPECT_EQ(loaded->Load(data_.Path(), *config, context), loads);
            EXPECT_EQ(loaded->PublicHolidays().Size(), 0u);
            // A schedule file's elements are schedules whatever their Type says.
            EXPECT_EQ(loaded->Schedules().Size(), loads ? 1u : 0u);
            loaded->Destroy();
        }
    }
}

}  // namespace
