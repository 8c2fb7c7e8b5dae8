// Length-prefixed strings and the UTF-8 bridge.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/automation.h"

namespace {

TEST(Bstr, LayoutHasByteLengthPrefixAndTerminatorAtAnyByteLength) {
    BSTR s = SysAllocString(u"h\u00e9llo");
    ASSERT_NE(s, nullptr);
    std::uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 10u);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    EXPECT_EQ(s[5], 0);
    SysFreeString(s);

    BSTR embedded = SysAllocStringLen(u"a\0b", 3);
    EXPECT_EQ(SysStringLen(embedded), 3u);
    EXPECT_EQ(embedded[2], u'b');
    SysFreeString(embedded);

    BSTR blank = SysAllocStringLen(nullptr, 4);  // room without content
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[4], 0);
    SysFreeString(blank);

    BSTR odd = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    const char* bytes = reinterpret_cast<const char*>(odd);
    EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
    SysFreeString(odd);

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
