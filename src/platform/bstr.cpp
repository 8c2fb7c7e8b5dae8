#include "platform/bstr.h"

#include <cstdlib>
#include <cstring>

namespace {

// Layout of one allocation: [32-bit byte length][units...][two zero bytes].
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

BSTR AllocBytes(const void* bytes, UINT length) {
    // Rounded up so that an odd byte length still leaves a whole zero code unit after the data.
    std::size_t total = kPrefix + std::size_t{length} + sizeof(OLECHAR) + 1;
    auto* block = static_cast<char*>(std::malloc(total));
    if (!block) return nullptr;
    std::uint32_t prefix = length;
    std::memcpy(block, &prefix, kPrefix);
    char* data = block + kPrefix;
    if (bytes)
        std::memcpy(data, bytes, length);
    else
        std::memset(data, 0, length);
    std::memset(data + length, 0, total - kPrefix - length);
    return reinterpret_cast<BSTR>(data);
}

char* BlockOf(BSTR text) {
    return reinterpret_cast<char*>(text) - kPrefix;
}

}  // namespace

BSTR SysAllocString(LPCOLESTR text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<OLECHAR>::length(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    // Lengths whose byte count does not fit the 32-bit prefix cannot be represented.
    if (length > (0xFFFFFFFFu - 16) / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(text, length * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
    if (length > 0xFFFFFFFFu - 16) return nullptr;
    return AllocBytes(bytes, length);
}

INT SysReAllocString(BSTR* target, LPCOLESTR text) {
    if (!target) return FALSE;
    return SysReAllocStringLen(
        target, text, text ? static_cast<UINT>(std::char_traits<OLECHAR>::length(text)) : 0);
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
    if (!target) return FALSE;
    // The source may lie inside the old string, so the copy is made before the old one is freed.
    BSTR copy = SysAllocStringLen(text, length);
    if (!copy) return FALSE;
    SysFreeString(*target);
    *target = copy;
    return TRUE;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR text) {
    if (!text) return 0;
    std::uint32_t prefix;
    std::memcpy(&prefix, BlockOf(text), kPrefix);
    return prefix;
}

void SysFreeString(BSTR text) {
    if (text) std::free(BlockOf(text));
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < n) {
        unsigned c = byte(i);
        char32_t cp;
        std::size_t extra;
        char32_t min;
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, extra = 1, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, extra = 2, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07, extra = 3, min = 0x10000;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        std::size_t k = 1;
        for (; k <= extra && i + k < n && (byte(i + k) & 0xC0) == 0x80; ++k)
            cp = cp << 6 | (byte(i + k) & 0x3F);
        if (k <= extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // A truncated or malformed sequence: one replacement for what was consumed.
            out.push_back(u'\uFFFD');
            i += k;
            continue;
        }
        i += k;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}
