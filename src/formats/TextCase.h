#pragma once
// Letter case of 8-bit text in the Western code page (Windows-1252) that the clients and the
// users' files use: upper-casing and comparison without regard to case, byte for byte.

#include <string>
#include <string_view>

namespace vserver::platform {

// The upper-case form of one byte: a to z, the accented small letters of the code page, and
// the few letters it keeps in the 0x80 to 0x9F range. Every other byte is returned unchanged.
char UpperCase(char c);

std::string UpperCase(std::string_view text);

// True when both texts are equal after upper-casing every byte.
bool EqualNoCase(std::string_view a, std::string_view b);

} // namespace vserver::platform
