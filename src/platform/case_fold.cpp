#include "platform/case_fold.h"

#include <unicode/uchar.h>

namespace {
// The dotted capital I would fold onto the ASCII 'i' and make "İ" equal to "I"; it stays apart.
constexpr char16_t kDottedCapitalI = 0x130;
}  // namespace

char16_t FoldCase(char16_t c) {
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    if (c == kDottedCapitalI || (c >= 0xD800 && c <= 0xDFFF)) return c;
    // The simple lower-case mapping keeps one code unit per code unit in the basic plane.
    UChar32 lower = u_tolower(c);
    return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

std::u16string FoldCase(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& c : folded)
        c = FoldCase(c);
    return folded;
}
