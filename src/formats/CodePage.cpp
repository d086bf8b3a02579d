#include "formats/CodePage.h"

#include <array>

namespace vserver::platform {

namespace {

// 0x80 to 0x9F; the rest of the code page is the first 256 characters of Unicode.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr std::size_t kMarkSize = kUtf16LeMark.size();

char16_t UnitAt(std::string_view bytes, std::size_t at) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                 (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Decodes UTF-16LE bytes from at, calling visit(byte offset, 8-bit character) for each
// character; a surrogate pair is one character. A lone last byte is no character and is left
// out. Returns where the last whole character ends.
template <typename Visit>
std::size_t DecodeUtf16Le(std::string_view bytes, std::size_t at, Visit visit) {
    while (at + 1 < bytes.size()) {
        const char16_t unit = UnitAt(bytes, at);
        if (IsHighSurrogate(unit) && at + 3 < bytes.size() && IsLowSurrogate(UnitAt(bytes, at + 2))) {
            visit(at, '?');
            at += 4;
            continue;
        }
        visit(at, UnicodeToCodePage(unit));
        at += 2;
    }
    return at;
}

constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

// The character whose UTF-8 form starts at at, which is moved past it; kNotUtf8 when the bytes
// there are not a well-formed UTF-8 sequence.
char32_t NextUtf8(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) return lead;
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (more == 0 || lead > 0xF4 || at + static_cast<std::size_t>(more) > text.size()) return kNotUtf8;
    char32_t character = lead & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        const auto next = static_cast<unsigned char>(text[at++]);
        if ((next & 0xC0) != 0x80) return kNotUtf8;
        character = (character << 6) | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (character < kSmallest[more] || character > 0x10FFFF || (character >= 0xD800 && character <= 0xDFFF)) {
        return kNotUtf8;
    }
    return character;
}

void AppendUnit(std::string& out, char16_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
}

} // namespace

char16_t CodePageToUnicode(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : static_cast<char16_t>(byte);
}

char UnicodeToCodePage(char32_t character) {
    if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) return static_cast<char>(character);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == character) return static_cast<char>(0x80 + i);
    }
    return '?';
}

std::string Utf16LeToCodePage(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() / 2 + 1);
    DecodeUtf16Le(bytes, 0, [&](std::size_t, char c) { text.push_back(c); });
    return text;
}

std::string CodePageToUtf16Le(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char c : text) AppendUnit(bytes, CodePageToUnicode(static_cast<unsigned char>(c)));
    return bytes;
}

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

std::string CodePageToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        const char16_t unit = CodePageToUnicode(static_cast<unsigned char>(c));
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return out;
}

bool Utf8ToCodePage(std::string_view text, std::string& out) {
    std::string converted;
    converted.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const char32_t character = NextUtf8(text, at);
        if (character == kNotUtf8) return false;
        converted.push_back(UnicodeToCodePage(character));
    }
    out = std::move(converted);
    return true;
}

EncodedText::EncodedText(std::string bytes) : bytes_(std::move(bytes)) {
    utf16_ = std::string_view(bytes_).substr(0, kMarkSize) == kUtf16LeMark;
    if (!utf16_) return;
    text_.reserve(bytes_.size() / 2);
    offsets_.reserve(bytes_.size() / 2 + 1);
    offsets_.push_back(DecodeUtf16Le(bytes_, kMarkSize, [&](std::size_t at, char c) {
        offsets_.push_back(at);
        text_.push_back(c);
    }));
}

std::string EncodedText::BytesWith(std::size_t begin, std::size_t end, std::string_view replacement) const {
    const std::size_t byteBegin = utf16_ ? offsets_[begin] : begin;
    const std::size_t byteEnd = utf16_ ? offsets_[end] : end;
    const std::string encoded = utf16_ ? CodePageToUtf16Le(replacement) : std::string(replacement);
    std::string out;
    out.reserve(bytes_.size() - (byteEnd - byteBegin) + encoded.size());
    out.append(bytes_, 0, byteBegin).append(encoded).append(bytes_, byteEnd, std::string::npos);
    return out;
}

void EncodedText::Replace(std::size_t begin, std::size_t end, std::string_view replacement) {
    if (!utf16_) {
        bytes_.replace(begin, end - begin, replacement);
        return;
    }
    // A lone last byte belongs to no character, so text added at the end goes before it.
    const std::size_t byteBegin = offsets_[begin];
    const std::size_t byteEnd = offsets_[end];
    const std::string encoded = CodePageToUtf16Le(replacement);
    bytes_.replace(byteBegin, byteEnd - byteBegin, encoded);
    text_.replace(begin, end - begin, replacement);

    std::vector<std::size_t> inserted(replacement.size());
    for (std::size_t i = 0; i < inserted.size(); ++i) inserted[i] = byteBegin + 2 * i;
    const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(encoded.size()) -
                                 static_cast<std::ptrdiff_t>(byteEnd - byteBegin);
    for (std::size_t i = end; i < offsets_.size(); ++i) offsets_[i] = static_cast<std::size_t>(offsets_[i] + shift);
    offsets_.erase(offsets_.begin() + static_cast<std::ptrdiff_t>(begin), offsets_.begin() + static_cast<std::ptrdiff_t>(end));
    offsets_.insert(offsets_.begin() + static_cast<std::ptrdiff_t>(begin), inserted.begin(), inserted.end());
}

} // namespace vserver::platform
