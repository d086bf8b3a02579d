#include "formats/CodePage.h"

#include <gtest/gtest.h>

#include "formats/TextCase.h"

namespace vserver::platform {
namespace {

std::string Units(std::initializer_list<char16_t> units) {
    std::string bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

TEST(CodePage, EveryByteSurvivesTheWayThroughUtf16) {
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(Utf16LeToCodePage(CodePageToUtf16Le(all)), all);

    EXPECT_EQ(CodePageToUtf16Le("\x80\x9F\xE9"), Units({0x20AC, 0x0178, 0x00E9}));
    // Characters without an 8-bit form, a surrogate pair (one character) and lone halves.
    EXPECT_EQ(Utf16LeToCodePage(Units({0x0100, 'a', 0xD83D, 0xDE00, 'b', 0xDC00, 0xD800})), "?a?b??");
    EXPECT_EQ(Utf16LeToCodePage(Units({'a'}) + "b"), "a");
}

TEST(CodePage, NamesGoToUtf8AndBackByteForByte) {
    std::string all;
    for (int byte = 1; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
    std::string back;
    ASSERT_TRUE(Utf8ToCodePage(CodePageToUtf8(all), back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(CodePageToUtf8("Caf\xE9 \x80"), "Caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_TRUE(IsAscii("plain name.vts"));
    EXPECT_FALSE(IsAscii("M\xFCller"));

    // A character the code page lacks reads as '?'; four-byte forms are characters too.
    ASSERT_TRUE(Utf8ToCodePage("\xCE\xA9mega \xF0\x9F\x98\x80", back));
    EXPECT_EQ(back, "?mega ?");

    // Bytes that are no UTF-8 leave the text alone: such a name is kept as its bytes.
    back = "kept";
    for (std::string bad : {"caf\xE9", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
        EXPECT_FALSE(Utf8ToCodePage(bad, back)) << bad;
        EXPECT_EQ(back, "kept");
    }
}

TEST(EncodedText, EditsOfAUtf16FileLandOnTheirCharacters) {
    // A surrogate pair and a character without an 8-bit form before the edit, one after it.
    const std::string file = std::string(kUtf16LeMark) + Units({0xD83D, 0xDE00, 0x0100, 'k', '=', '1', 0x0101});
    EncodedText text(file);
    ASSERT_TRUE(text.utf16());
    EXPECT_EQ(text.text(), "??k=1?");
    text.Replace(4, 5, "caf\xE9");
    text.Replace(6, 6, "!");
    EXPECT_EQ(text.text(), "??k=ca!f\xE9?");
    EXPECT_EQ(text.bytes(), std::string(kUtf16LeMark) +
                                Units({0xD83D, 0xDE00, 0x0100, 'k', '=', 'c', 'a', '!', 'f', 0xE9, 0x0101}));

    EncodedText plain("k=1");
    EXPECT_FALSE(plain.utf16());
    plain.Replace(2, 3, "22");
    EXPECT_EQ(plain.bytes(), "k=22");
}

TEST(TextCase, UpperCasesTheWesternCodePage) {
    EXPECT_EQ(UpperCase("jsmith-\xE9\xFF\x9A"), "JSMITH-\xC9\x9F\x8A");
    EXPECT_EQ(UpperCase(std::string_view("\xF7\xB0\xA6")), "\xF7\xB0\xA6");  // not letters
    EXPECT_TRUE(EqualNoCase("Jsmith", "jSMITH"));
    EXPECT_FALSE(EqualNoCase("jsmith", "jsmit"));
}

} // namespace
} // namespace vserver::platform
