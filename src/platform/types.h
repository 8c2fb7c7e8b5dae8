// Fixed-width scalar types of the automation platform.
//
// The names follow the component platform so that code written against it reads the same here.
// Widths are the platform's, not the host compiler's: LONG and ULONG are 32 bits even though
// `long` is 64 bits on Linux, and OLECHAR is a UTF-16 code unit (never wchar_t).
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using CHAR = char;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using DISPID = LONG;
using MEMBERID = DISPID;
using VARTYPE = USHORT;
using VARIANT_BOOL = SHORT;
using DATE = double;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using LPVOID = void*;

// GLib defines both as macros of the same values; a file that includes GLib first uses those.
#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// A product of 32-bit values as the platform's arithmetic gives it: the low 32 bits, where a
// signed 32-bit multiplication would overflow (the conversion to LONG wraps).
constexpr LONG WrappingProduct(std::int64_t a, std::int64_t b) {
    return static_cast<LONG>(a * b);
}
// The same for a difference.
constexpr LONG WrappingDifference(std::int64_t a, std::int64_t b) {
    return static_cast<LONG>(a - b);
}

// Locale identifiers the library uses: it formats and parses numbers and dates the same way for
// every one of them (decimal point '.', month/day/year dates, 12-hour times).
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_INVARIANT = 0x007F;

// Currency: a 64-bit integer scaled by 10 000.
union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};

// The platform's 96-bit decimal: value = (-1)^sign * (Hi32:Mid32:Lo32) / 10^scale, scale 0..28.
struct DECIMAL {
    USHORT wReserved;
    union {
        struct {
            BYTE scale;
            BYTE sign;  // DECIMAL_NEG or 0
        };
        USHORT signscale;
    };
    ULONG Hi32;
    union {
        struct {
            ULONG Lo32;
            ULONG Mid32;
        };
        ULONGLONG Lo64;
    };
};
inline constexpr BYTE DECIMAL_NEG = 0x80;
