// Length-prefixed strings and the UTF-8 bridge.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/automation.h"
#include "support/show.h"

namespace {

// A string as "length, byte length: the prefix, then the data and two more bytes", freed after.
std::string Layout(BSTR s) {
    const UINT bytes = SysStringByteLen(s);
    const auto* data = reinterpret_cast<const BYTE*>(s);
    std::string text = std::to_string(SysStringLen(s)) + ", " + std::to_string(bytes) + ": " +
                       Hex(std::vector<BYTE>(data - 4, data + bytes + 2));
    SysFreeString(s);
    return text;
}

TEST(Bstr, LayoutHasByteLengthPrefixAndTerminatorAtAnyByteLength) {
    EXPECT_EQ(Layout(SysAllocString(u"h\u00e9llo")),
              "5, 10: 0A 00 00 00 68 00 E9 00 6C 00 6C 00 6F 00 00 00");
    EXPECT_EQ(Layout(SysAllocStringLen(u"a\0b", 3)), "3, 6: 06 00 00 00 61 00 00 00 62 00 00 00");
    // Room without content.
    EXPECT_EQ(Layout(SysAllocStringLen(nullptr, 4)),
              "4, 8: 08 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Layout(SysAllocStringByteLen("abc", 3)), "1, 3: 03 00 00 00 61 62 63 00 00");
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Bstr, ReallocationMayReadFromItself) {
    BSTR s = SysAllocString(u"abcdef");
    ASSERT_TRUE(SysReAllocStringLen(&s, s + 2, 3));
    EXPECT_EQ(std::u16string(s), u"cde");
    ASSERT_TRUE(SysReAllocString(&s, u"xy"));
    EXPECT_EQ(SysStringLen(s), 2u);
    ASSERT_TRUE(SysReAllocString(&s, nullptr));
    EXPECT_EQ(SysStringLen(s), 0u);
    EXPECT_NE(s, nullptr);
    SysFreeString(s);
}

TEST(Bstr, Utf8AndUtf16) {
    EXPECT_EQ(Utf8ToUtf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), u"A\u00e9\u20ac\U0001F600");
    EXPECT_EQ(Utf16ToUtf8(u"A\u00e9\u20ac\U0001F600"), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToUtf16("a\xFFz"), u"a\uFFFDz");
    EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD");    // truncated sequence
    EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), u"\uFFFD");      // overlong zero
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");  // encoded surrogate
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");

    CComBSTR wrapped(std::string_view("gr\xC3\xBC\xC3\x9F"));
    EXPECT_EQ(wrapped.Length(), 4u);
    EXPECT_EQ(wrapped.utf8(), "gr\xC3\xBC\xC3\x9F");
}

}  // namespace
