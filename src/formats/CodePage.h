#pragma once
// The 8-bit code page of the clients and of the users' files (Windows-1252), and text files
// that hold UTF-16LE instead: EncodedText shows such a file as 8-bit text and carries edits of
// that text back into the file's own bytes, so a file never mixes encodings and every byte an
// edit does not touch stays as it was.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::platform {

// The byte order mark that makes a file UTF-16LE text.
inline constexpr std::string_view kUtf16LeMark = "\xFF\xFE";

// The character of one code-page byte. The five bytes the code page leaves undefined stand
// for the control characters of the same number, so every byte survives a round trip.
char16_t CodePageToUnicode(unsigned char byte);

// The code-page byte of a character, or '?' when the code page has no form for it.
char UnicodeToCodePage(char32_t character);

// UTF-16LE bytes (without byte order mark) as 8-bit text: one byte per character, '?' for a
// character without an 8-bit form or an unpaired surrogate; a lone last byte is left out.
std::string Utf16LeToCodePage(std::string_view bytes);

// 8-bit text as UTF-16LE bytes (without byte order mark).
std::string CodePageToUtf16Le(std::string_view text);

// True when every byte is below 0x80: such text is the same in the code page and in UTF-8.
bool IsAscii(std::string_view text);

// 8-bit text as UTF-8.
std::string CodePageToUtf8(std::string_view text);

// UTF-8 text as 8-bit text, '?' for a character without an 8-bit form. False, with out
// unchanged, when text is not well-formed UTF-8 (overlong forms, surrogates and characters
// beyond U+10FFFF are not).
bool Utf8ToCodePage(std::string_view text, std::string& out);

class EncodedText {
public:
    // The whole content of a file. It is UTF-16LE when it starts with the byte order mark.
    explicit EncodedText(std::string bytes = {});

    bool utf16() const { return utf16_; }
    // The file as 8-bit text (without the byte order mark of a UTF-16LE file).
    const std::string& text() const { return utf16_ ? text_ : bytes_; }
    // The file's bytes with every edit made so far.
    const std::string& bytes() const { return bytes_; }

    // Replaces the characters [begin, end) of text() by replacement, in the file's encoding.
    void Replace(std::size_t begin, std::size_t end, std::string_view replacement);
    // The bytes Replace(begin, end, replacement) would leave, without changing this text.
    std::string BytesWith(std::size_t begin, std::size_t end, std::string_view replacement) const;

private:
    std::string bytes_;
    bool utf16_ = false;
    std::string text_;                    // UTF-16LE files only
    std::vector<std::size_t> offsets_;    // UTF-16LE files only: where each character's bytes begin, then the end
};

} // namespace vserver::platform
