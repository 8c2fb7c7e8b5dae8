// What the scheduler's tests share: calendar dates as DateValue, a script property as text, and a
// log of what schedules' handlers hear.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "platform/var_date.h"
#include "scheduler/schedule.h"
#include "scheduler/solar.h"
#include "support/late_bound.h"

inline DateValue Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    double days = 0;
    EXPECT_TRUE(automation::PartsToDate(year, month, day, hour, minute, second, &days));
    return DateValue{days, true};
}

// The property read by name, as a script would print it (booleans as True and False).
inline std::u16string PropertyText(IDispatch* object, const char16_t* name) {
    CComVariant value, text;
    EXPECT_EQ(CallName(object, name, DISPATCH_PROPERTYGET, {}, &value), S_OK) << Utf16ToUtf8(name);
    VariantChangeType(&text, &value, VARIANT_ALPHABOOL, VT_BSTR);
    return std::u16string(text.bstrVal ? text.bstrVal : u"");
}

// Several properties read by name, joined by "|".
inline std::u16string PropertyTexts(IDispatch* object,
                                    std::initializer_list<const char16_t*> names) {
    std::u16string text;
    for (const char16_t* name : names)
        text += (name == *names.begin() ? u"" : u"|") + PropertyText(object, name);
    return text;
}

// A schedule's handler that notes what it hears, "enabled ", "disabled " and "fired ", after its
// name, in a log that the handlers of several schedules may share.
class ScheduleLog : public ScheduleHandler {
  public:
    explicit ScheduleLog(std::string* log, std::string name = "")
        : log_(log), name_(std::move(name)) {}
    void OnFired(ScheduleBase*) override { *log_ += name_ + "fired "; }
    void OnEnabled(ScheduleBase*) override { *log_ += name_ + "enabled "; }
    void OnDisabled(ScheduleBase*) override { *log_ += name_ + "disabled "; }

  private:
    std::string* log_;
    std::string name_;
};
