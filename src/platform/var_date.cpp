#include "platform/var_date.h"

#include <cmath>
#include <ctime>
#include <vector>

#include "platform/clock.h"

namespace automation {
namespace {

// Days since 1 January 1970 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* year, int* month, int* day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (*month <= 2));
}

const long long kEpoch = DaysFromCivil(1899, 12, 30);

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Whole days and seconds of the day, rounded to the nearest second.
bool SplitDate(double date, long long* days, int* seconds) {
    if (!DateInRange(date)) return false;
    double whole = std::trunc(date);
    double fraction = std::fabs(date - whole);
    auto secs = static_cast<long long>(std::floor(fraction * 86400.0 + 0.5));
    auto d = static_cast<long long>(whole);
    if (secs >= 86400) {
        if (d >= static_cast<long long>(kMaxDate)) {
            secs = 86399;  // no day follows the last one: keep its last second
        } else {
            ++d;  // the next calendar day, whichever side of day 0
            secs = 0;
        }
    }
    *days = d;
    *seconds = static_cast<int>(secs);
    return true;
}

int CurrentYear() {
    return LocalNow().wYear;
}

struct Token {
    enum Kind { kNumber, kWord, kSeparator } kind;
    long long number = 0;
    int digits = 0;
    std::u16string word;  // lower case
    char16_t separator = 0;
};

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool Tokenize(std::u16string_view text, std::vector<Token>* tokens) {
    std::size_t i = 0;
    while (i < text.size()) {
        char16_t c = text[i];
        if (c >= u'0' && c <= u'9') {
            Token t{Token::kNumber, 0, 0, {}, 0};
            while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
                if (t.digits < 9) t.number = t.number * 10 + (text[i] - u'0');
                ++t.digits, ++i;
            }
            tokens->push_back(t);
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            Token t{Token::kWord, 0, 0, {}, 0};
            while (i < text.size() && ((text[i] >= u'a' && text[i] <= u'z') ||
                                       (text[i] >= u'A' && text[i] <= u'Z') || text[i] == u'.'))
                if (text[i++] != u'.') t.word.push_back(Lower(text[i - 1]));
            tokens->push_back(t);
        } else if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
            ++i;
        } else if (c == u'/' || c == u'-' || c == u',' || c == u'.' || c == u':') {
            Token t{Token::kSeparator, 0, 0, {}, 0};
            t.separator = c;
            tokens->push_back(t);
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

int MonthOfWord(const std::u16string& w) {
    static const char16_t* const kMonths[] = {u"january",   u"february", u"march",    u"april",
                                              u"may",       u"june",     u"july",     u"august",
                                              u"september", u"october",  u"november", u"december"};
    if (w.size() < 3) return 0;
    for (int m = 0; m < 12; ++m) {
        std::u16string_view full(kMonths[m]);
        if (w.size() <= full.size() && full.substr(0, w.size()) == w) return m + 1;
    }
    if (w == u"sept") return 9;
    return 0;
}

bool IsWeekday(const std::u16string& w) {
    static const char16_t* const kDays[] = {u"sunday",   u"monday", u"tuesday", u"wednesday",
                                            u"thursday", u"friday", u"saturday"};
    if (w.size() < 3) return false;
    for (auto* d : kDays) {
        std::u16string_view full(d);
        if (w.size() <= full.size() && full.substr(0, w.size()) == w) return true;
    }
    return false;
}

int ExpandYear(const Token& t) {
    if (t.digits <= 2) return static_cast<int>(t.number < 30 ? 2000 + t.number : 1900 + t.number);
    return static_cast<int>(t.number);
}

bool LooksLikeYear(const Token& t) {
    return t.digits >= 3 || t.number > 31;
}

// Days counted straight on from day 0: -1.25, 29 December 1899 6:00 AM, is -0.75 of them.
double LinearDays(double date) {
    return date >= 0 ? date : 2 * std::trunc(date) - date;
}

double DateOfLinearDays(double days) {
    const double whole = std::floor(days);
    const double fraction = days - whole;
    return whole < 0 ? whole - fraction : whole + fraction;
}

}  // namespace

double AddDays(double date, double days) {
    return DateOfLinearDays(LinearDays(date) + days);
}

double DaysBetween(double from, double to) {
    return LinearDays(to) - LinearDays(from);
}

bool DateInRange(double date) {
    return date > kMinDate - 1.0 && date < kMaxDate + 1.0;
}

bool DateToParts(double date, SYSTEMTIME* parts) {
    long long days;
    int seconds;
    if (!SplitDate(date, &days, &seconds)) return false;
    int y, m, d;
    CivilFromDays(days + kEpoch, &y, &m, &d);
    if (y < 100 || y > 9999) return false;
    parts->wYear = static_cast<WORD>(y);
    parts->wMonth = static_cast<WORD>(m);
    parts->wDay = static_cast<WORD>(d);
    parts->wDayOfWeek = static_cast<WORD>(((days + 6) % 7 + 7) % 7);  // day 0 was a Saturday
    parts->wHour = static_cast<WORD>(seconds / 3600);
    parts->wMinute = static_cast<WORD>(seconds / 60 % 60);
    parts->wSecond = static_cast<WORD>(seconds % 60);
    parts->wMilliseconds = 0;
    return true;
}

bool PartsToDate(int year, int month, int day, int hour, int minute, int second, double* date) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return false;
    long long days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch;
    double time = (hour * 3600 + minute * 60 + second) / 86400.0;
    *date = days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
    return true;
}

HRESULT FormatDateText(double date, ULONG flags, std::u16string* out) {
    long long days;
    int seconds;
    if (!SplitDate(date, &days, &seconds)) return E_INVALIDARG;
    bool show_date = !(flags & VAR_TIMEVALUEONLY) && (days != 0 || (flags & VAR_DATEVALUEONLY));
    bool show_time =
        !(flags & VAR_DATEVALUEONLY) && (seconds != 0 || days == 0 || (flags & VAR_TIMEVALUEONLY));
    char text[64];
    int len = 0;
    if (show_date) {
        int y, m, d;
        CivilFromDays(days + kEpoch, &y, &m, &d);
        len += std::snprintf(text, sizeof text, "%d/%d/%d", m, d, y);  // 1/1/100, no padding
    }
    if (show_time) {
        int h = seconds / 3600;
        int h12 = h % 12 == 0 ? 12 : h % 12;
        len += std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len),
                             "%s%d:%02d:%02d %s", show_date ? " " : "", h12, seconds / 60 % 60,
                             seconds % 60, h < 12 ? "AM" : "PM");
    }
    out->assign(text, text + len);
    return S_OK;
}

HRESULT ParseDateText(std::u16string_view text, double* out) {
    std::vector<Token> tokens;
    if (!Tokenize(text, &tokens) || tokens.empty()) return DISP_E_TYPEMISMATCH;

    std::vector<Token> date_numbers;
    int month_name = 0;
    bool have_time = false;
    int hour = 0, minute = 0, second = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        auto next_is = [&](std::size_t k, char16_t sep) {
            return k < tokens.size() && tokens[k].kind == Token::kSeparator &&
                   tokens[k].separator == sep;
        };
        auto word_at = [&](std::size_t k) -> const std::u16string* {
            return k < tokens.size() && tokens[k].kind == Token::kWord ? &tokens[k].word : nullptr;
        };
        auto is_meridian = [](const std::u16string* w) {
            return w && (*w == u"am" || *w == u"pm" || *w == u"a" || *w == u"p");
        };
        // ':' always separates the fields of a time; '.' does between two numbers ("2.5" is
        // 2:05 AM, "12.25.10" is 12:25:10 PM), so it never separates the parts of a date.
        auto time_separator_at = [&](std::size_t k) {
            return next_is(k, u':') || (next_is(k, u'.') && k + 1 < tokens.size() &&
                                        tokens[k + 1].kind == Token::kNumber);
        };
        if (t.kind == Token::kNumber && (time_separator_at(i + 1) || is_meridian(word_at(i + 1)))) {
            if (have_time) return DISP_E_TYPEMISMATCH;
            have_time = true;
            hour = static_cast<int>(t.number);
            int* fields[] = {&minute, &second};
            for (int f = 0; f < 2 && time_separator_at(i + 1); ++f) {
                if (i + 2 >= tokens.size() || tokens[i + 2].kind != Token::kNumber)
                    return DISP_E_TYPEMISMATCH;
                *fields[f] = static_cast<int>(tokens[i + 2].number);
                i += 2;
            }
            if (is_meridian(word_at(i + 1))) {
                bool pm = (*word_at(i + 1))[0] == u'p';
                if (hour > 12) return DISP_E_TYPEMISMATCH;
                if (hour == 12) hour = 0;
                if (pm) hour += 12;
                ++i;
            }
        } else if (t.kind == Token::kNumber) {
            date_numbers.push_back(t);
        } else if (t.kind == Token::kWord) {
            if (int m = MonthOfWord(t.word); m && !month_name) {
                month_name = m;
            } else if (!IsWeekday(t.word)) {
                return DISP_E_TYPEMISMATCH;
            }
        } else if (t.separator == u':') {
            return DISP_E_TYPEMISMATCH;
        }
    }

    int year = 1899, month = 12, day = 30;
    const std::size_t count = date_numbers.size();
    if (count > 3 || (count == 3 && month_name)) return DISP_E_TYPEMISMATCH;
    if (month_name) {
        if (count == 0) return DISP_E_TYPEMISMATCH;
        month = month_name;
        if (count == 1) {
            if (LooksLikeYear(date_numbers[0])) {
                year = ExpandYear(date_numbers[0]);
                day = 1;
            } else {
                year = CurrentYear();
                day = static_cast<int>(date_numbers[0].number);
            }
        } else if (LooksLikeYear(date_numbers[0])) {
            year = ExpandYear(date_numbers[0]);
            day = static_cast<int>(date_numbers[1].number);
        } else {
            day = static_cast<int>(date_numbers[0].number);
            year = ExpandYear(date_numbers[1]);
        }
    } else if (count == 1) {
        return DISP_E_TYPEMISMATCH;
    } else if (count >= 2) {
        const Token& a = date_numbers[0];
        const Token& b = date_numbers[1];
        if (count == 3 && LooksLikeYear(a)) {
            year = ExpandYear(a);
            month = static_cast<int>(b.number);
            day = static_cast<int>(date_numbers[2].number);
        } else if (count == 2 && LooksLikeYear(a)) {
            year = ExpandYear(a);
            month = static_cast<int>(b.number);
            day = 1;
        } else if (count == 2 && LooksLikeYear(b)) {
            month = static_cast<int>(a.number);
            year = ExpandYear(b);
            day = 1;
        } else {
            month = static_cast<int>(a.number);
            day = static_cast<int>(b.number);
            year = count == 3 ? ExpandYear(date_numbers[2]) : CurrentYear();
            // Not a month/day order: try day/month, as the platform does.
            if (month > 12 && day <= 12) std::swap(month, day);
        }
    } else if (!have_time) {
        return DISP_E_TYPEMISMATCH;
    }
    double date;
    if (!PartsToDate(year, month, day, hour, minute, second, &date)) return DISP_E_TYPEMISMATCH;
    *out = date;
    return S_OK;
}

}  // namespace automation
