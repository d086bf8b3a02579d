#include "formats/TextCase.h"

#include <array>

namespace vserver::platform {

namespace {

constexpr std::array<unsigned char, 256> BuildUpperTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
    for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<unsigned char>(c - 32);
    // 0xE0 to 0xFE map to 0xC0 to 0xDE, except the division sign 0xF7.
    for (int c = 0xE0; c <= 0xFE; ++c) {
        if (c != 0xF7) table[c] = static_cast<unsigned char>(c - 32);
    }
    table[0x9A] = 0x8A;  // s caron
    table[0x9C] = 0x8C;  // oe ligature
    table[0x9E] = 0x8E;  // z caron
    table[0xFF] = 0x9F;  // y diaeresis
    return table;
}

constexpr std::array<unsigned char, 256> kUpper = BuildUpperTable();

} // namespace

char UpperCase(char c) {
    return static_cast<char>(kUpper[static_cast<unsigned char>(c)]);
}

std::string UpperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = UpperCase(c);
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperCase(a[i]) != UpperCase(b[i])) return false;
    }
    return true;
}

} // namespace vserver::platform
