#include "wire/Fields.h"

#include <climits>

namespace vserver::wire {

std::string_view ExtractField(std::string_view text, char separator, int n) {
    if (n < 1) return {};
    std::size_t start = 0;
    for (int field = 1; field < n; ++field) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) return {};
        start = at + 1;
    }
    std::size_t end = text.find(separator, start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

int ReadNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void AppendNumber(std::string& out, long long value) {
    char digits[24];
    int length = 0;
    unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        digits[length++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) out += '-';
    while (length > 0) out += digits[--length];
}

bool IsCarriableText(std::string_view text) {
    for (char c : text) {
        if (c == kMessageEnd || c == kSectionSeparator || c == kFieldSeparator || c == kItemSeparator) return false;
    }
    return true;
}

} // namespace vserver::wire
