// Exact decimal numbers and the number text of the automation runtime.
//
// Every conversion between text, currency, decimals and integers goes through ExactNumber so
// that "0.1" stays 0.1 and halves are rounded to even without floating-point error. Text is
// parsed and printed the same way for every locale: '.' as decimal point, ',' as thousands
// separator, '$' as currency symbol.
#pragma once

#include <string>
#include <string_view>

#include "platform/hresult.h"
#include "platform/types.h"

namespace automation {

using Int128 = __int128;
using UInt128 = unsigned __int128;

// value = (negative ? -1 : 1) * digits * 10^exponent; digits carry no leading or trailing
// zeros, and zero is the empty digit string.
struct ExactNumber {
    bool negative = false;
    std::string digits;
    int exponent = 0;

    bool IsZero() const { return digits.empty(); }
};

ExactNumber ExactFromInt(Int128 value);
ExactNumber ExactFromCy(LONGLONG cy);
// E_INVALIDARG for a scale above 28 or a sign byte other than 0 and DECIMAL_NEG.
HRESULT ExactFromDecimal(const DECIMAL& dec, ExactNumber* out);
// The value as printed with `significant` digits (15 for doubles, 7 for floats), as the
// platform does when it turns a floating-point number into a decimal or currency.
ExactNumber ExactFromDouble(double value, int significant);

// Round half to even to an integer; DISP_E_OVERFLOW outside [low, high].
HRESULT ExactToInt(const ExactNumber& n, Int128 low, Int128 high, Int128* out);
HRESULT ExactToDouble(const ExactNumber& n, double* out);
HRESULT ExactToDecimal(const ExactNumber& n, DECIMAL* out);
HRESULT ExactToCy(const ExactNumber& n, LONGLONG* out);
// Plain positional text without exponent ("-0.001", "12345678901234567890").
std::u16string ExactToText(const ExactNumber& n);
int ExactCompare(const ExactNumber& a, const ExactNumber& b);

// Parses number text as the platform's number parser does: blanks around, a leading or trailing
// sign or parentheses, '$', thousands separators, a decimal point, an exponent (E or D), and
// "&H"/"&O" hexadecimal and octal. DISP_E_TYPEMISMATCH for anything else. Hex and octal values
// come back in *radix_value with *is_radix set: at most 32 bits (DISP_E_OVERFLOW beyond), read
// as a signed 16-bit number when they fit 16 bits ("&HFFFF" is -1) and as a signed 32-bit
// number otherwise ("&H80000000" is -2147483648).
HRESULT ParseNumberText(std::u16string_view text, ExactNumber* out, bool* is_radix,
                        LONGLONG* radix_value);

// Parses number text and rounds to an integer in [low, high].
HRESULT ParseIntegerText(std::u16string_view text, Int128 low, Int128 high, Int128* out);
HRESULT ParseDoubleText(std::u16string_view text, double* out);

// Round half to even; the caller checks the range.
double RoundHalfEven(double value);
// Rounds a double to an integer in [low, high]; DISP_E_OVERFLOW otherwise (also for NaN).
HRESULT DoubleToInt(double value, Int128 low, Int128 high, Int128* out);

// Text of a double (significant = 15) or float (7), rounded to that many digits: positional
// ("3.5", "0.000056789") while it needs at most `significant` digits on either side of the
// point, otherwise exponent form ("1E+15", "1E-16", "1.99999997764826E-02").
std::u16string FormatDouble(double value, int significant);
std::u16string FormatInt(Int128 value);

}  // namespace automation
