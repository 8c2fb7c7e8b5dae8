// Case folding of script text: the one folding that every case-insensitive comparison of the
// library uses (string comparison with NORM_IGNORECASE, member and event names, settings keys).
#pragma once

#include <string>
#include <string_view>

// The small letter of a capital (Unicode's simple lower-case mapping, in every script); any
// other code unit as it is.
char16_t FoldCase(char16_t c);
// Every code unit of `text` folded.
std::u16string FoldCase(std::u16string_view text);
