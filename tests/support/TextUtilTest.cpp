#include <gtest/gtest.h>

#include "support/TextUtil.h"

using namespace kva_audioplayer;

// Surrogate pairs and CJK go both ways; a truncated or invalid sequence becomes U+FFFD.
TEST(TextUtil, Utf8Utf16Conversions) {
    const std::string text = u8"默认输出设备 - caf\u00e9 \U0001F3B5\U00010000\U0010FFFF";
    EXPECT_EQ(std::make_tuple(Utf8ToUtf16(text).substr(0, 6), Utf16ToUtf8(Utf8ToUtf16(text))), std::make_tuple(u"默认输出设备", text));
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), (std::u16string{u'a', 0xFFFD}));
    EXPECT_EQ(Utf8ToUtf16("\xFF\x41"), (std::u16string{0xFFFD, u'A'}));
    for (const char* bad : {"\xED\xA0\x80", "\xF4\x90\x80\x80"}) EXPECT_EQ(Utf8ToUtf16(bad)[0], 0xFFFD);  // U+D800, past U+10FFFF
}

TEST(TextUtil, CopyUtf16CutsAndTerminatesAndPrefixIgnoresCase) {
    char16_t dst[5];
    EXPECT_EQ(CopyUtf16(dst, 5, u"abcdefg"), 4u);
    EXPECT_EQ(std::u16string(dst), u"abcd");
    EXPECT_EQ(CopyUtf16(dst, 5, static_cast<const char16_t*>(nullptr)), 0u);
    EXPECT_EQ(dst[0], 0);
    EXPECT_TRUE(StartsWithNoCase("HtTp://x", "http://"));
    for (const char* no : {"http:/x", "ht", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(StartsWithNoCase(no, "http://")) << (no ? no : "null");
}
