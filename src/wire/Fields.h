#pragma once
// The rules for cutting a text into fields and for reading numbers out of them.

#include <string>
#include <string_view>

#include "wire/Protocol.h"

namespace vserver::wire {

// Field n (counted from 1) of text cut at separator; empty when n is below 1 or beyond the
// last field. The view points into text.
std::string_view ExtractField(std::string_view text, char separator, int n);

// The C library's decimal rule: leading white space skipped, an optional sign, digits up to
// the first non-digit; no digits give 0. Values beyond the int range saturate.
int ReadNumber(std::string_view text);

// Appends the decimal text of value to out (no leading zeros, '-' for negatives).
void AppendNumber(std::string& out, long long value);

// True when text holds none of the four reserved bytes and could travel as one field.
bool IsCarriableText(std::string_view text);

} // namespace vserver::wire
