#include "vserverctl/TextForms.h"

#include <cstdio>

#include "formats/CodePage.h"

namespace vserver::ctl {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

} // namespace

std::string Utf8FromCodePage(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char byte : text) AppendUtf8(out, platform::CodePageToUnicode(static_cast<unsigned char>(byte)));
    return out;
}

std::string DisplayText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char byte : text) {
        const char16_t c = platform::CodePageToUnicode(static_cast<unsigned char>(byte));
        // The code page's five undefined bytes stand for C1 control characters.
        if (IsControl(static_cast<unsigned char>(byte)) || (c >= 0x80 && c < 0xA0)) out += kReplacement;
        else AppendUtf8(out, c);
    }
    return out;
}

std::string HtmlEscape(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string CsvCell(std::string_view utf8) {
    std::string cell;
    if (!utf8.empty() && std::string_view("=+-@\t\r").find(utf8.front()) != std::string_view::npos) cell = "'";
    cell.append(utf8);
    if (cell.find_first_of(",;\"\r\n") == std::string::npos) return cell;
    std::string quoted = "\"";
    for (char c : cell) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string HoursAndMinutes(long long seconds) {
    const long long minutes = seconds / 60;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes / 60, minutes % 60);
    return text;
}

std::string Grouped(long long value) {
    const std::string digits = std::to_string(value);
    const std::size_t sign = value < 0 ? 1 : 0;
    std::string out = digits.substr(0, sign);
    for (std::size_t i = sign; i < digits.size(); ++i) {
        if (i > sign && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string Counted(long long count, std::string_view one, std::string_view many) {
    return Grouped(count) + " " + std::string(count == 1 ? one : many);
}

} // namespace vserver::ctl
