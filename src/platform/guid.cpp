#include "platform/guid.h"

#include <cstdio>

#include "platform/bstr.h"

std::string GuidToString(REFGUID g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false on a non-hex character.
bool ReadHex(const std::string& text, size_t pos, int digits, std::uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(text[pos + i]);
        if (d < 0) return false;
        *value = *value << 4 | static_cast<unsigned>(d);
    }
    return true;
}
}  // namespace

bool GuidFromString(const std::string& text, GUID* guid) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-')
        return false;
    GUID g{};
    std::uint64_t v;
    if (!ReadHex(text, 1, 8, &v)) return false;
    g.Data1 = static_cast<DWORD>(v);
    if (!ReadHex(text, 10, 4, &v)) return false;
    g.Data2 = static_cast<WORD>(v);
    if (!ReadHex(text, 15, 4, &v)) return false;
    g.Data3 = static_cast<WORD>(v);
    static constexpr size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytePositions[i], 2, &v)) return false;
        g.Data4[i] = static_cast<BYTE>(v);
    }
    *guid = g;
    return true;
}

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity) {
    if (!buffer || capacity < 39) return 0;
    std::string text = GuidToString(guid);
    for (int i = 0; i < 38; ++i)
        buffer[i] = static_cast<OLECHAR>(text[i]);
    buffer[38] = 0;
    return 39;
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
    if (!clsid) return E_INVALIDARG;
    if (!text) {
        *clsid = GUID_NULL;
        return S_OK;
    }
    std::string narrow;
    for (; *text && narrow.size() <= 38; ++text) {
        if (*text > 0x7F) return CO_E_CLASSSTRING;
        narrow.push_back(static_cast<char>(*text));
    }
    return GuidFromString(narrow, clsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) {
    HRESULT hr = CLSIDFromString(text, iid);
    return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}
