#include "platform/var_number.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace automation {
namespace {

constexpr UInt128 kDecimalLimit = UInt128{1} << 96;  // exclusive bound of the 96-bit mantissa
constexpr int kMaxScale = 28;
constexpr UInt128 kMaxRadixValue = 0xFFFFFFFF;  // "&H" and "&O" numbers hold at most 32 bits

void Normalize(ExactNumber& n) {
    std::size_t first = n.digits.find_first_not_of('0');
    if (first == std::string::npos) {
        n = ExactNumber{};
        return;
    }
    n.digits.erase(0, first);
    std::size_t last = n.digits.find_last_not_of('0');
    n.exponent += static_cast<int>(n.digits.size() - 1 - last);
    n.digits.resize(last + 1);
}

std::string UInt128ToDigits(UInt128 value) {
    if (value == 0) return "";
    std::string text;
    while (value) {
        text.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    }
    return {text.rbegin(), text.rend()};
}

// Digits to an unsigned value; false when it does not fit 128 bits.
bool DigitsToUInt128(std::string_view digits, UInt128* out) {
    constexpr UInt128 kMax = ~UInt128{0};
    UInt128 v = 0;
    for (char c : digits) {
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (kMax - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

// Keeps the first `keep` digits; *round_up tells whether the dropped ones round the kept
// number up (half to even).
std::string RoundDigits(const std::string& digits, std::size_t keep, bool* round_up) {
    *round_up = false;
    if (keep >= digits.size()) return digits;
    std::string head = digits.substr(0, keep);
    char next = digits[keep];
    bool rest_nonzero = digits.find_first_not_of('0', keep + 1) != std::string::npos;
    char last = head.empty() ? '0' : head.back();
    if (next > '5' || (next == '5' && (rest_nonzero || (last - '0') % 2 == 1))) *round_up = true;
    return head;
}

// Integer part of |n| rounded half to even, or false when it exceeds 128 bits.
bool RoundedMagnitude(const ExactNumber& n, UInt128* out) {
    if (n.IsZero()) {
        *out = 0;
        return true;
    }
    long long int_len = static_cast<long long>(n.digits.size()) + n.exponent;
    if (int_len > 39) return false;
    if (n.exponent >= 0) {
        std::string all = n.digits + std::string(static_cast<std::size_t>(n.exponent), '0');
        return DigitsToUInt128(all, out);
    }
    bool up;
    std::string head =
        int_len > 0 ? RoundDigits(n.digits, static_cast<std::size_t>(int_len), &up) : "";
    if (int_len <= 0) {
        // Only a fraction: 0.5 exactly rounds to the even 0, anything above half to 1.
        up = int_len == 0 && (n.digits[0] > '5' || (n.digits[0] == '5' && n.digits.size() > 1));
    }
    UInt128 v = 0;
    if (!DigitsToUInt128(head, &v)) return false;
    if (up) {
        if (v == ~UInt128{0}) return false;
        ++v;
    }
    *out = v;
    return true;
}

bool IsBlank(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r') || c == u'\u00A0';
}

}  // namespace

ExactNumber ExactFromInt(Int128 value) {
    ExactNumber n;
    n.negative = value < 0;
    n.digits = UInt128ToDigits(value < 0 ? -static_cast<UInt128>(value) : UInt128(value));
    Normalize(n);
    return n;
}

ExactNumber ExactFromCy(LONGLONG cy) {
    ExactNumber n = ExactFromInt(cy);
    if (!n.IsZero()) n.exponent -= 4;
    return n;
}

HRESULT ExactFromDecimal(const DECIMAL& dec, ExactNumber* out) {
    if (dec.scale > kMaxScale || (dec.sign != 0 && dec.sign != DECIMAL_NEG)) return E_INVALIDARG;
    UInt128 mantissa = (UInt128{dec.Hi32} << 64) | dec.Lo64;
    ExactNumber n;
    n.digits = UInt128ToDigits(mantissa);
    n.negative = dec.sign == DECIMAL_NEG;
    n.exponent = -static_cast<int>(dec.scale);
    Normalize(n);
    if (n.IsZero()) n.negative = false;
    *out = std::move(n);
    return S_OK;
}

ExactNumber ExactFromDouble(double value, int significant) {
    ExactNumber n;
    if (!std::isfinite(value) || value == 0) return n;
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", significant - 1, value);
    std::string_view s(text);
    n.negative = s.front() == '-';
    if (n.negative) s.remove_prefix(1);
    std::size_t e = s.find('e');
    for (char c : s.substr(0, e))
        if (c != '.') n.digits.push_back(c);
    int exp10 = 0;
    std::string_view es = s.substr(e + 1);
    if (!es.empty() && es.front() == '+') es.remove_prefix(1);
    std::from_chars(es.data(), es.data() + es.size(), exp10);
    n.exponent = exp10 - (significant - 1);
    Normalize(n);
    return n;
}

HRESULT ExactToInt(const ExactNumber& n, Int128 low, Int128 high, Int128* out) {
    UInt128 magnitude;
    if (!RoundedMagnitude(n, &magnitude) || magnitude > (UInt128{1} << 126)) return DISP_E_OVERFLOW;
    Int128 v = n.negative ? -static_cast<Int128>(magnitude) : static_cast<Int128>(magnitude);
    if (v < low || v > high) return DISP_E_OVERFLOW;
    *out = v;
    return S_OK;
}

HRESULT ExactToDouble(const ExactNumber& n, double* out) {
    if (n.IsZero()) {
        *out = 0;
        return S_OK;
    }
    std::string text = n.digits + "e" + std::to_string(n.exponent);
    double v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        long long magnitude = static_cast<long long>(n.digits.size()) + n.exponent;
        if (magnitude > 0) return DISP_E_OVERFLOW;
        v = 0;  // too small for a double: zero, as the platform gives
    } else if (ec != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    *out = n.negative ? -v : v;
    return S_OK;
}

HRESULT ExactToDecimal(const ExactNumber& n, DECIMAL* out) {
    DECIMAL dec{};
    if (n.IsZero()) {
        *out = dec;
        return S_OK;
    }
    std::string digits = n.digits;
    int scale = -n.exponent;
    if (scale < 0) {
        if (digits.size() + static_cast<std::size_t>(-scale) > 29) return DISP_E_OVERFLOW;
        digits.append(static_cast<std::size_t>(-scale), '0');
        scale = 0;
    }
    // Too many digits after the point, or a mantissa beyond 96 bits: round away the last ones.
    auto round_off = [&](int drop) {
        bool up;
        long long keep = static_cast<long long>(digits.size()) - drop;
        if (keep < 0) {
            digits.clear();
        } else {
            digits = RoundDigits(digits, static_cast<std::size_t>(keep), &up);
            if (up) {
                int i = static_cast<int>(digits.size()) - 1;
                while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9')
                    digits[static_cast<std::size_t>(i--)] = '0';
                if (i < 0)
                    digits.insert(digits.begin(), '1');
                else
                    ++digits[static_cast<std::size_t>(i)];
            }
        }
        scale -= drop;
    };
    if (scale > kMaxScale) round_off(scale - kMaxScale);
    UInt128 mantissa = 0;
    while (digits.size() > 39 || !DigitsToUInt128(digits, &mantissa) || mantissa >= kDecimalLimit) {
        if (scale == 0) return DISP_E_OVERFLOW;
        round_off(1);
    }
    dec.scale = static_cast<BYTE>(scale);
    dec.sign = n.negative && mantissa ? DECIMAL_NEG : 0;
    dec.Hi32 = static_cast<ULONG>(mantissa >> 64);
    dec.Lo64 = static_cast<ULONGLONG>(mantissa);
    *out = dec;
    return S_OK;
}

HRESULT ExactToCy(const ExactNumber& n, LONGLONG* out) {
    ExactNumber scaled = n;
    if (!scaled.IsZero()) scaled.exponent += 4;
    Int128 v;
    HRESULT hr = ExactToInt(scaled, std::numeric_limits<LONGLONG>::min(),
                            std::numeric_limits<LONGLONG>::max(), &v);
    if (SUCCEEDED(hr)) *out = static_cast<LONGLONG>(v);
    return hr;
}

std::u16string ExactToText(const ExactNumber& n) {
    if (n.IsZero()) return u"0";
    std::string text;
    if (n.exponent >= 0) {
        text = n.digits + std::string(static_cast<std::size_t>(n.exponent), '0');
    } else {
        long long int_len = static_cast<long long>(n.digits.size()) + n.exponent;
        if (int_len > 0) {
            text = n.digits.substr(0, static_cast<std::size_t>(int_len)) + "." +
                   n.digits.substr(static_cast<std::size_t>(int_len));
        } else {
            text = "0." + std::string(static_cast<std::size_t>(-int_len), '0') + n.digits;
        }
    }
    std::u16string out;
    if (n.negative) out.push_back(u'-');
    out.append(text.begin(), text.end());
    return out;
}

int ExactCompare(const ExactNumber& a, const ExactNumber& b) {
    if (a.IsZero() && b.IsZero()) return 0;
    int sa = a.IsZero() ? 0 : (a.negative ? -1 : 1);
    int sb = b.IsZero() ? 0 : (b.negative ? -1 : 1);
    if (sa != sb) return sa < sb ? -1 : 1;
    // Same sign, both non-zero: compare magnitudes by order of magnitude, then digit by digit.
    long long ma = static_cast<long long>(a.digits.size()) + a.exponent;
    long long mb = static_cast<long long>(b.digits.size()) + b.exponent;
    int magnitude = 0;
    if (ma != mb) {
        magnitude = ma < mb ? -1 : 1;
    } else {
        int c = a.digits.compare(b.digits);  // aligned at the leading digit, no trailing zeros
        magnitude = c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    return sa < 0 ? -magnitude : magnitude;
}

HRESULT ParseNumberText(std::u16string_view text, ExactNumber* out, bool* is_radix,
                        LONGLONG* radix_value) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto at = [&](std::size_t k) -> char16_t { return k < n ? text[k] : u'\0'; };
    auto skip_blanks = [&] {
        while (i < n && IsBlank(text[i]))
            ++i;
    };
    *is_radix = false;
    bool negative = false, signed_ = false, parens = false;
    skip_blanks();
    for (bool again = true; again;) {
        again = false;
        char16_t c = at(i);
        if ((c == u'+' || c == u'-') && !signed_ && !parens) {
            negative = c == u'-';
            signed_ = true;
            ++i, again = true;
        } else if (c == u'(' && !signed_ && !parens) {
            parens = negative = true;
            ++i, again = true;
        } else if (c == u'$') {
            ++i, again = true;
        }
        if (again) skip_blanks();
    }

    if (at(i) == u'&') {
        char16_t kind = at(i + 1);
        int bits;
        if (kind == u'H' || kind == u'h')
            bits = 4;
        else if (kind == u'O' || kind == u'o')
            bits = 3;
        else
            return DISP_E_TYPEMISMATCH;
        i += 2;
        UInt128 v = 0;
        std::size_t start = i;
        for (;; ++i) {
            char16_t c = at(i);
            int d = -1;
            if (c >= u'0' && c <= u'9')
                d = c - u'0';
            else if (bits == 4 && c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (bits == 4 && c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            if (d < 0 || d >= (1 << bits)) break;
            v = v << bits | static_cast<unsigned>(d);
            if (v > kMaxRadixValue) return DISP_E_OVERFLOW;
        }
        if (i == start) return DISP_E_TYPEMISMATCH;
        if (parens) {
            skip_blanks();
            if (at(i) != u')') return DISP_E_TYPEMISMATCH;
            ++i;
        }
        skip_blanks();
        if (i != n) return DISP_E_TYPEMISMATCH;
        auto u = static_cast<ULONG>(v);
        LONGLONG value = u <= 0xFFFF ? LONGLONG{static_cast<SHORT>(u)} : static_cast<LONG>(u);
        *is_radix = true;
        *radix_value = negative ? -value : value;
        return S_OK;
    }

    ExactNumber num;
    bool any_digit = false, point = false;
    int fraction_digits = 0;
    for (;; ++i) {
        char16_t c = at(i);
        if (c >= u'0' && c <= u'9') {
            any_digit = true;
            num.digits.push_back(static_cast<char>(c));
            if (point) ++fraction_digits;
        } else if (c == u',' && any_digit && !point) {
            continue;  // thousands separator
        } else if (c == u'.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return DISP_E_TYPEMISMATCH;
    long long exponent = -fraction_digits;
    char16_t e = at(i);
    if (e == u'e' || e == u'E' || e == u'd' || e == u'D') {
        ++i;
        bool exp_negative = false;
        if (at(i) == u'+' || at(i) == u'-') exp_negative = at(i++) == u'-';
        std::size_t start = i;
        long long ev = 0;
        while (at(i) >= u'0' && at(i) <= u'9') {
            if (ev < 100000) ev = ev * 10 + (at(i) - u'0');
            ++i;
        }
        if (i == start) return DISP_E_TYPEMISMATCH;
        exponent += exp_negative ? -ev : ev;
    }
    skip_blanks();
    if (parens) {
        if (at(i) != u')') return DISP_E_TYPEMISMATCH;
        ++i;
        skip_blanks();
    } else if (!signed_ && (at(i) == u'+' || at(i) == u'-')) {
        negative = at(i++) == u'-';
        skip_blanks();
    }
    if (i != n) return DISP_E_TYPEMISMATCH;
    num.negative = negative;
    num.exponent = static_cast<int>(exponent);
    Normalize(num);
    if (num.IsZero()) num.negative = false;
    if (num.exponent > 100000 || num.exponent < -100000) {
        if (num.exponent > 0) return DISP_E_OVERFLOW;
        num = ExactNumber{};
    }
    *out = std::move(num);
    return S_OK;
}

HRESULT ParseIntegerText(std::u16string_view text, Int128 low, Int128 high, Int128* out) {
    ExactNumber n;
    bool radix;
    LONGLONG radix_value;
    HRESULT hr = ParseNumberText(text, &n, &radix, &radix_value);
    if (FAILED(hr)) return hr;
    if (radix) {
        if (radix_value < low || radix_value > high) return DISP_E_OVERFLOW;
        *out = radix_value;
        return S_OK;
    }
    return ExactToInt(n, low, high, out);
}

HRESULT ParseDoubleText(std::u16string_view text, double* out) {
    ExactNumber n;
    bool radix;
    LONGLONG radix_value;
    HRESULT hr = ParseNumberText(text, &n, &radix, &radix_value);
    if (FAILED(hr)) return hr;
    if (radix) {
        *out = static_cast<double>(radix_value);
        return S_OK;
    }
    return ExactToDouble(n, out);
}

double RoundHalfEven(double value) {
    return std::nearbyint(value);  // the default rounding mode rounds halves to even
}

HRESULT DoubleToInt(double value, Int128 low, Int128 high, Int128* out) {
    double r = RoundHalfEven(value);
    // Compare in floating point first: the bounds of 64-bit types are exact powers of two.
    if (!(r >= static_cast<double>(low) - 1.0 && r <= static_cast<double>(high) + 1.0))
        return DISP_E_OVERFLOW;
    if (r >= 18446744073709551616.0 || r < -9223372036854775808.0) return DISP_E_OVERFLOW;
    Int128 v = r < 0 ? static_cast<Int128>(static_cast<LONGLONG>(r))
                     : static_cast<Int128>(static_cast<ULONGLONG>(r));
    if (v < low || v > high) return DISP_E_OVERFLOW;
    *out = v;
    return S_OK;
}

std::u16string FormatDouble(double value, int significant) {
    if (std::isnan(value)) return std::signbit(value) ? u"-1.#IND" : u"1.#QNAN";
    if (std::isinf(value)) return value < 0 ? u"-1.#INF" : u"1.#INF";
    ExactNumber n = ExactFromDouble(value, significant);
    if (n.IsZero()) return u"0";
    const int digits = static_cast<int>(n.digits.size());
    const int magnitude = n.exponent + digits - 1;  // the power of ten of the leading digit
    if (magnitude < significant && -n.exponent <= significant) return ExactToText(n);
    // d.dddE+XX, with at least two exponent digits.
    char exponent[16];
    int length = std::snprintf(exponent, sizeof exponent, "E%c%02d", magnitude < 0 ? '-' : '+',
                               magnitude < 0 ? -magnitude : magnitude);
    std::u16string out;
    if (n.negative) out.push_back(u'-');
    out.push_back(static_cast<char16_t>(n.digits[0]));
    if (digits > 1) {
        out.push_back(u'.');
        out.append(n.digits.begin() + 1, n.digits.end());
    }
    out.append(exponent, exponent + length);
    return out;
}

std::u16string FormatInt(Int128 value) {
    char text[48];
    char* end = text + sizeof text;
    char* p = end;
    UInt128 magnitude = value < 0 ? -static_cast<UInt128>(value) : static_cast<UInt128>(value);
    do {
        *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    return std::u16string(p, end);
}

}  // namespace automation
