// VT_DATE arithmetic, text and calendar conversion.
#include <gtest/gtest.h>

#include <string>

#include "platform/automation.h"

namespace {

std::u16string DateText(double date, ULONG flags = 0) {
    BSTR text = nullptr;
    HRESULT hr = VarBstrFromDate(date, LOCALE_USER_DEFAULT, flags, &text);
    if (FAILED(hr)) return u"<failed>";
    std::u16string out(text, SysStringLen(text));
    SysFreeString(text);
    return out;
}

double ParseDate(const char16_t* text) {
    DATE d = -1e9;
    EXPECT_EQ(VarDateFromStr(text, LOCALE_USER_DEFAULT, 0, &d), S_OK)
        << std::string(text, text + std::char_traits<char16_t>::length(text));
    return d;
}

TEST(DateText, PrintsMonthDayYearAndTwelveHourTime) {
    EXPECT_EQ(DateText(0), u"12:00:00 AM");
    EXPECT_EQ(DateText(1), u"12/31/1899");
    EXPECT_EQ(DateText(36527), u"1/2/2000");
    EXPECT_EQ(DateText(36527 + (15 * 3600 + 4 * 60 + 5) / 86400.0), u"1/2/2000 3:04:05 PM");
    EXPECT_EQ(DateText(0.5), u"12:00:00 PM");
    EXPECT_EQ(DateText(0.25 + 1.0 / 86400), u"6:00:01 AM");
    EXPECT_EQ(DateText(-1), u"12/29/1899");
    // Before day 0 the fraction still counts forward from midnight.
    EXPECT_EQ(DateText(-1.25), u"12/29/1899 6:00:00 AM");
    EXPECT_EQ(DateText(-0.75), u"6:00:00 PM");
    EXPECT_EQ(DateText(2958465), u"12/31/9999");
    EXPECT_EQ(DateText(-657434), u"1/1/0100");
    EXPECT_EQ(DateText(36527.5, VAR_DATEVALUEONLY), u"1/2/2000");
    EXPECT_EQ(DateText(36527.5, VAR_TIMEVALUEONLY), u"12:00:00 PM");
    // Rounded to the second, across midnight into the next day.
    EXPECT_EQ(DateText(36527 + 0.9999999), u"1/3/2000");
    BSTR text = nullptr;
    EXPECT_EQ(VarBstrFromDate(2958466, LOCALE_USER_DEFAULT, 0, &text), E_INVALIDARG);
    EXPECT_EQ(VarBstrFromDate(-657435, LOCALE_USER_DEFAULT, 0, &text), E_INVALIDARG);
}

TEST(DateText, ParsesDatesAndTimes) {
    EXPECT_EQ(ParseDate(u"1/2/2000"), 36527);
    EXPECT_EQ(ParseDate(u"1/2/2000 3:04:05 PM"), 36527 + (15 * 3600 + 4 * 60 + 5) / 86400.0);
    EXPECT_EQ(ParseDate(u"2000-01-02"), 36527);
    EXPECT_EQ(ParseDate(u"January 2, 2000"), 36527);
    EXPECT_EQ(ParseDate(u"2 Jan 2000"), 36527);
    EXPECT_EQ(ParseDate(u"Sunday, January 2, 2000"), 36527);
    EXPECT_EQ(ParseDate(u"15:30"), (15 * 60 + 30) / 1440.0);
    EXPECT_EQ(ParseDate(u"12:00 AM"), 0);
    EXPECT_EQ(ParseDate(u"12 PM"), 0.5);
    EXPECT_EQ(ParseDate(u"1/2/00"), 36527);
    EXPECT_EQ(ParseDate(u"1/2/99"), 36162);  // two-digit years from 1930 to 2029
    EXPECT_EQ(ParseDate(u"12/29/1899 6:00 AM"), -1.25);
    EXPECT_EQ(ParseDate(u"13/1/2000"), ParseDate(u"1/13/2000"));  // day/month when needed
    DATE d;
    for (const char16_t* bad : {u"", u"hello", u"2/30/2000", u"1/2/2000 25:00", u"13 PM",
                                u"1/2/3/4", u"12:61", u"1:2:3:4"})
        EXPECT_EQ(VarDateFromStr(bad, LOCALE_USER_DEFAULT, 0, &d), DISP_E_TYPEMISMATCH);

    // Text round trip through variants.
    CComVariant text(u"2/29/2024 11:59:59 PM");
    CComVariant date;
    ASSERT_EQ(VariantChangeType(&date, &text, 0, VT_DATE), S_OK);
    CComVariant back;
    ASSERT_EQ(VariantChangeType(&back, &date, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(back.bstrVal), u"2/29/2024 11:59:59 PM");
}

TEST(DateNumbers, RangeChecksAndRounding) {
    CComVariant out;
    CComVariant in(2958465.5);
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_DATE), S_OK);
    in = CComVariant(2958466.0);
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_DATE), DISP_E_OVERFLOW);
    in = CComVariant(-657435.0);
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_DATE), DISP_E_OVERFLOW);
    in = CComVariant(LONG{3000000});
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_DATE), DISP_E_OVERFLOW);
    CComVariant date(36527.5);
    ASSERT_EQ(VariantChangeType(&date, &date, 0, VT_DATE), S_OK);
    ASSERT_EQ(VariantChangeType(&out, &date, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 36528);  // 36527.5 is a half and rounds to the even day
}

TEST(DateCalendar, SystemTimeRoundTrip) {
    SYSTEMTIME st{2000, 1, 0, 2, 15, 4, 5, 999};
    double d;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
    EXPECT_DOUBLE_EQ(d, 36527 + (15 * 3600 + 4 * 60 + 5) / 86400.0);  // milliseconds ignored
    SYSTEMTIME back{};
    ASSERT_TRUE(VariantTimeToSystemTime(d, &back));
    EXPECT_EQ(back.wYear, 2000);
    EXPECT_EQ(back.wMonth, 1);
    EXPECT_EQ(back.wDay, 2);
    EXPECT_EQ(back.wDayOfWeek, 0);  // a Sunday
    EXPECT_EQ(back.wHour, 15);
    EXPECT_EQ(back.wMinute, 4);
    EXPECT_EQ(back.wSecond, 5);

    SYSTEMTIME early{1800, 3, 0, 1, 6, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToVariantTime(&early, &d));
    ASSERT_TRUE(VariantTimeToSystemTime(d, &back));
    EXPECT_EQ(back.wYear, 1800);
    EXPECT_EQ(back.wMonth, 3);
    EXPECT_EQ(back.wDay, 1);
    EXPECT_EQ(back.wHour, 6);
    EXPECT_LT(d, 0);

    SYSTEMTIME leap{2023, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToVariantTime(&leap, &d));
    SYSTEMTIME month13{2023, 13, 0, 1, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToVariantTime(&month13, &d));
    EXPECT_FALSE(VariantTimeToSystemTime(3e6, &back));
}

}  // namespace
