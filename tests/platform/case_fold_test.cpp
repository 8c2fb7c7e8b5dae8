#include "platform/case_fold.h"

#include <gtest/gtest.h>

#include <string>

TEST(CaseFoldTest, CapitalsFoldOntoTheirSmallLettersAndNothingElseMoves) {
    struct Case {
        char16_t in, out;
    } cases[] = {
        {u'A', u'a'},   {u'z', u'z'},     {u'@', u'@'},     {u'[', u'['},
        {0xC4, 0xE4},   {0xD7, 0xD7},     {0xDF, 0xDF},     {0x178, 0xFF},   // Ä, ×, ß, Ÿ
        {0x100, 0x101}, {0x139, 0x13A},   {0x147, 0x148},   {0x179, 0x17A},  // Ā Ĺ Ň Ź
        {0x17D, 0x17E}, {0x130, 0x130},   {0x131, 0x131},   {0x138, 0x138},  // Ž İ ı ĸ
        {0x3A3, 0x3C3}, {0x401, 0x451},   {0x42F, 0x44F},   {0x531, 0x561},  // Σ Ё Я Ա
        {0x1E9E, 0xDF}, {0xD83D, 0xD83D}, {0xFF21, 0xFF41},                  // ẞ, surrogate, Ａ
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.in));
        EXPECT_EQ(int(FoldCase(c.in)), int(c.out));
    }
    EXPECT_EQ(FoldCase(std::u16string_view(u"\u00C4\u0139x\0Y", 5)),
              std::u16string(u"\u00E4\u013Ax\0y", 5));
}
