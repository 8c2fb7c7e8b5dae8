// Globally unique identifiers of interfaces, classes and libraries.
#pragma once

#include <compare>
#include <cstring>
#include <functional>
#include <string>

#include "platform/types.h"

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
    friend constexpr std::strong_ordering operator<=>(const GUID& a, const GUID& b) {
        if (auto c = a.Data1 <=> b.Data1; c != 0) return c;
        if (auto c = a.Data2 <=> b.Data2; c != 0) return c;
        if (auto c = a.Data3 <=> b.Data3; c != 0) return c;
        for (int i = 0; i < 8; ++i)
            if (auto c = a.Data4[i] <=> b.Data4[i]; c != 0) return c;
        return std::strong_ordering::equal;
    }
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{};
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a == b;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
    return a == b;
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return a == b;
}

// Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex, 38 characters).
std::string GuidToString(REFGUID guid);
// Parses the braced text form (case-insensitive hex); false when the text is malformed.
bool GuidFromString(const std::string& text, GUID* guid);

// The platform's wide-character forms. StringFromGUID2 writes 39 characters including the
// terminating zero and returns that count, or 0 when the buffer is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity);
// Parses a braced identifier; CO_E_CLASSSTRING for a malformed one.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);

template <>
struct std::hash<GUID> {
    std::size_t operator()(const GUID& g) const noexcept {
        std::uint64_t a, b;
        std::memcpy(&a, &g, 8);
        std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
        return std::hash<std::uint64_t>()(a * 0x9E3779B97F4A7C15ull ^ b);
    }
};
