#include <gtest/gtest.h>

#include "support/TextUtil.h"

using namespace kva_audioplayer;

TEST(TextUtil, Utf8Utf16RoundTripIncludingSurrogatesAndCjk) {
    std::string text = u8"默认输出设备 - caf\u00e9 \U0001F3B5";
    std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide.substr(0, 6), u"默认输出设备");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(TextUtil, MalformedUtf8BecomesReplacementCharacters) {
    std::string bad = "a\xC3";  // truncated sequence
    std::u16string wide = Utf8ToUtf16(bad);
    ASSERT_EQ(wide.size(), 2u);
    EXPECT_EQ(wide[1], 0xFFFD);
    EXPECT_EQ(Utf8ToUtf16("\xFF\x41"), (std::u16string{0xFFFD, u'A'}));
}

TEST(TextUtil, CopyUtf16CutsAndTerminates) {
    char16_t dst[5];
    EXPECT_EQ(CopyUtf16(dst, 5, u"abcdefg"), 4u);
    EXPECT_EQ(std::u16string(dst), u"abcd");
    EXPECT_EQ(CopyUtf16(dst, 5, static_cast<const char16_t*>(nullptr)), 0u);
    EXPECT_EQ(dst[0], 0);
}

TEST(TextUtil, StartsWithNoCase) {
    EXPECT_TRUE(StartsWithNoCase("HtTp://x", "http://"));
    EXPECT_FALSE(StartsWithNoCase("http:/x", "http://"));
    EXPECT_FALSE(StartsWithNoCase("ht", "http://"));
    EXPECT_FALSE(StartsWithNoCase(nullptr, "http://"));
}
