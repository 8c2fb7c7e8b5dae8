// VT_DATE arithmetic, text and calendar conversion.
#include <gtest/gtest.h>

#include <string>

#include "platform/automation.h"
#include "support/system_time_text.h"

namespace {

constexpr double kSecond = 1.0 / 86400;
constexpr double kMinute = 1.0 / 1440;

TEST(DateText, PrintsAndParsesMonthDayYearAndTwelveHourTime) {
    // clang-format off
    const struct {
        double date;
        const char16_t* text;
        ULONG flags = 0;
    } printed[] = {
        {0, u"12:00:00 AM"}, {1, u"12/31/1899"}, {36527, u"1/2/2000"},
        {36527 + (15 * 3600 + 4 * 60 + 5) * kSecond, u"1/2/2000 3:04:05 PM"}, {0.5, u"12:00:00 PM"},
        {0.25 + kSecond, u"6:00:01 AM"}, {-1, u"12/29/1899"},
        // Before day 0 the fraction still counts forward from midnight.
        {-1.25, u"12/29/1899 6:00:00 AM"}, {-0.75, u"6:00:00 PM"}, {2958465, u"12/31/9999"},
        {36527.5, u"1/2/2000", VAR_DATEVALUEONLY}, {36527.5, u"12:00:00 PM", VAR_TIMEVALUEONLY},
        // Rounded to the second, across midnight into the next day,
        {36527 + 0.9999999, u"1/3/2000"},
        // but not past the last day, whose text must still read back as a date.
        {2958465.9999999, u"12/31/9999 11:59:59 PM"},
        // Years before 1000 print without leading zeros, down to the first day, 1/1/100.
        {-657434, u"1/1/100"}, {-657434.5, u"1/1/100 12:00:00 PM"}, {-657375, u"3/1/100"},
        {-328717, u"12/31/999"}, {-328716, u"1/1/1000"},
        {2958466.0, u"<invalid>"}, {-657435.0, u"<invalid>"}, {-657435.5, u"<invalid>"},
    };
    // clang-format on
    for (const auto& c : printed) {
        CComBSTR text;  // stays empty when the conversion fails
        const HRESULT hr = VarBstrFromDate(c.date, LOCALE_USER_DEFAULT, c.flags, &text);
        EXPECT_EQ(hr == E_INVALIDARG ? u"<invalid>" : text.view(), c.text) << c.date << " " << hr;
    }

    // clang-format off
    const struct {
        const char16_t* text;
        double date;
    } parsed[] = {
        {u"1/2/2000", 36527}, {u"1/2/2000 3:04:05 PM", 36527 + (15 * 3600 + 4 * 60 + 5) * kSecond},
        {u"2000-01-02", 36527}, {u"January 2, 2000", 36527}, {u"2 Jan 2000", 36527},
        {u"Sunday, January 2, 2000", 36527}, {u"15:30", (15 * 60 + 30) * kMinute}, {u"12:00 AM", 0},
        {u"12 PM", 0.5}, {u"1/2/00", 36527},
        {u"1/2/99", 36162},  // two-digit years from 1930 to 2029
        {u"12/29/1899 6:00 AM", -1.25},
        {u"13/1/2000", 36538},  // day/month when month/day cannot be
        {u"1/13/2000", 36538},
        // From the first day to the last, years of three digits as they are.
        {u"1/1/100", -657434}, {u"12/31/999", -328717}, {u"12/31/9999", 2958465},
        // '.' separates hours, minutes and seconds.
        {u"2.5", (2 * 60 + 5) * kMinute}, {u"13.50", (13 * 60 + 50) * kMinute},
        {u"12.25", (12 * 60 + 25) * kMinute}, {u"12.25.10", (12 * 3600 + 25 * 60 + 10) * kSecond},
        {u"0.12", 12 * kMinute},
    };
    // clang-format on
    for (const auto& c : parsed) {
        DATE d = -1e9;
        EXPECT_EQ(VarDateFromStr(c.text, LOCALE_USER_DEFAULT, 0, &d), S_OK) << Utf16ToUtf8(c.text);
        EXPECT_DOUBLE_EQ(d, c.date) << Utf16ToUtf8(c.text);
    }
    for (const char16_t* bad :
         {u"", u"hello", u"2/30/2000", u"1/2/2000 25:00", u"13 PM", u"1/2/3/4", u"12:61",
          u"1:2:3:4", u"1/1/10000", u"24.12", u"12.25.2010"}) {
        DATE d;
        EXPECT_EQ(VarDateFromStr(bad, LOCALE_USER_DEFAULT, 0, &d), DISP_E_TYPEMISMATCH)
            << Utf16ToUtf8(bad);
    }
    for (const char16_t* text : {u"2/29/2024 11:59:59 PM", u"1/1/100", u"7/4/776 3:00:00 AM"}) {
        CComVariant in(text), date, back;
        ASSERT_EQ(VariantChangeType(&date, &in, 0, VT_DATE), S_OK) << Utf16ToUtf8(text);
        ASSERT_EQ(VariantChangeType(&back, &date, 0, VT_BSTR), S_OK);
        EXPECT_EQ(std::u16string(back.bstrVal), text);
    }
}

TEST(DateCalendar, SystemTimeRoundTrip) {
    struct Case {
        SYSTEMTIME in;
        double date;  // -1e9: no such day
    } cases[] = {
        {{2000, 1, 0, 2, 15, 4, 5, 999}, 36527 + (15 * 3600 + 4 * 60 + 5) * kSecond},  // ms ignored
        {{1800, 3, 0, 1, 6, 0, 0, 0}, -36463.25},  // the fraction counts forward from midnight
        {{100, 1, 0, 1, 0, 0, 0, 0}, -657434},
        {{2023, 2, 0, 29, 0, 0, 0, 0}, -1e9},
        {{2023, 13, 0, 1, 0, 0, 0, 0}, -1e9},
    };
    for (auto& c : cases) {
        double d = 0;
        ASSERT_EQ(SystemTimeToVariantTime(&c.in, &d), c.date != -1e9 ? TRUE : FALSE) << c.in.wYear;
        if (c.date == -1e9) continue;
        EXPECT_DOUBLE_EQ(d, c.date) << c.in.wYear;
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(d, &back));
        EXPECT_EQ(ShowSystemTime(back), ShowSystemTime(c.in));
    }
    SYSTEMTIME back{};
    ASSERT_TRUE(VariantTimeToSystemTime(36527, &back));
    EXPECT_EQ(back.wDayOfWeek, 0);  // a Sunday
    EXPECT_FALSE(VariantTimeToSystemTime(3e6, &back));
}

}  // namespace
