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
