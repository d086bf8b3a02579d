// Changes to a parsed registry file. Each edits only the lines of what it changes; setting a
// value of a key that exists moves the positions of the lines behind it instead of reading the
// whole file again, so its cost does not grow with the number of values.

#include <algorithm>
#include <cstddef>

#include "formats/RegistryFile.h"
#include "formats/RegistryFileSyntax.h"
#include "formats/TextCase.h"

namespace vserver::platform {

namespace {

using namespace registry_syntax;

constexpr std::string_view kNewFileLineEnd = "\r\n";
// Bytes per line when a string is written in its hexadecimal form, as the registry editor
// wraps its own exports.
constexpr std::size_t kHexBytesPerLine = 25;

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Appends a quoted name or string with the two escapes the format knows.
void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

// A string holding a line break cannot stand between quotes on one line; it is written as the
// same string type in hexadecimal bytes with its terminating NUL, which reads back unchanged.
void AppendHexString(std::string& out, std::string_view data, std::string_view lineEnd) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "hex(1):";
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (i > 0) {
            out += ',';
            if (i % kHexBytesPerLine == 0) {
                out += '\\';
                out += lineEnd;
                out += "  ";
            }
        }
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
}

// True when the text's last line is blank (or there is no text), so a block added at the end
// is already set apart from what stands before it. Lines end at LF.
bool EndsWithBlankLine(std::string_view text) {
    if (text.empty()) return true;
    if (text.back() != '\n') return false;
    text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text.empty() || text.back() == '\n';
}

// The end of a removed block: its own lines and the blank lines after them.
std::size_t AfterBlankLines(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        const std::size_t lf = text.find('\n', at);
        const std::size_t stop = lf == std::string_view::npos ? text.size() : lf;
        if (text.substr(at, stop - at).find_first_not_of(" \t\r") != std::string_view::npos) break;
        at = lf == std::string_view::npos ? text.size() : lf + 1;
    }
    return at;
}

struct Removal {
    std::size_t begin;
    std::size_t end;
};

} // namespace

// The line end the file already uses; CR LF, as the registry editor writes, for a new file.
std::string_view RegistryFile::LineEnd() const {
    const std::string& text = content_.text();
    const std::size_t lf = text.find('\n');
    if (lf == std::string::npos) return kNewFileLineEnd;
    return lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

std::string RegistryFile::ValueLine(std::string_view name, std::string_view text) const {
    std::string line;
    if (name.empty()) {
        line += '@';
    } else {
        AppendQuoted(line, name);
    }
    line += '=';
    if (!HoldsLineBreak(text)) {
        AppendQuoted(line, text);
        return line;
    }
    std::string data(text);
    data.push_back('\0');
    AppendHexString(line, version5_ ? CodePageToUtf16Le(data) : data, LineEnd());
    return line;
}

// A new block goes at the end, set apart by a blank line as the registry editor does, after
// the header when the file has none yet.
std::string RegistryFile::AppendedBlock(std::string_view key, std::string_view valueLine) const {
    const std::string& text = content_.text();
    const std::string_view lineEnd = LineEnd();
    std::string block;
    if (!text.empty() && text.back() != '\n') block += lineEnd;
    if (!headerSeen_) {
        block.append(kHeader).append(lineEnd).append(lineEnd);
    } else if (!EndsWithBlankLine(text + block)) {
        block += lineEnd;
    }
    block.append("[").append(NormalizeKeyPath(key)).append("]").append(lineEnd);
    if (!valueLine.empty()) block.append(valueLine).append(lineEnd);
    block += lineEnd;
    return block;
}

std::optional<RegistryFile::TextEdit> RegistryFile::StringEdit(std::string_view key, std::string_view name,
                                                               std::string_view text) const {
    if (HoldsLineBreak(name) || NormalizeKeyPath(key).empty()) return std::nullopt;
    const std::string& current = content_.text();
    const Key* found = FindKey(key);
    if (!found) return TextEdit{current.size(), current.size(), AppendedBlock(key, ValueLine(name, text)), {}, false};
    if (const Value* value = FindValue(*found, name)) {
        const Lines last = value->lines.back();
        std::string line = ValueLine(value->name, text);
        const std::size_t end = last.begin + line.size();
        return TextEdit{last.begin, last.end, std::move(line), Lines{last.begin, end, end + (last.next - last.end)}, true};
    }
    // After the last value of the key's last block, so that no earlier line overrides it.
    const std::size_t at = found->blocks.back().next;
    const std::string_view lineEnd = LineEnd();
    std::string inserted;
    if (at > 0 && current[at - 1] != '\n') inserted += lineEnd;
    const std::size_t begin = at + inserted.size();
    inserted += ValueLine(name, text);
    const std::size_t end = at + inserted.size();
    inserted += lineEnd;
    return TextEdit{at, at, std::move(inserted), Lines{begin, end, end + lineEnd.size()}, false};
}

void RegistryFile::ShiftLines(const TextEdit& edit) {
    const std::size_t removed = edit.end - edit.begin;
    const bool insertion = removed == 0;
    auto shift = [&](Lines& line) {
        if (line.begin >= edit.end) {
            line.begin = line.begin - removed + edit.text.size();
            line.end = line.end - removed + edit.text.size();
            line.next = line.next - removed + edit.text.size();
        } else if (insertion) {
            // A last line without its line end gets the one the insertion puts before the new line.
            if (line.next == edit.begin && line.end == edit.begin) line.next = edit.valueLine.begin;
        } else {
            // A line or block around the replaced text grows or shrinks with it.
            if (line.end >= edit.end) line.end = line.end - removed + edit.text.size();
            if (line.next >= edit.end) line.next = line.next - removed + edit.text.size();
        }
    };
    for (Key& key : keys_) {
        for (Lines& block : key.blocks) shift(block);
        for (Value& value : key.values) {
            for (Lines& line : value.lines) shift(line);
        }
    }
}

void RegistryFile::CreateKey(std::string_view key) {
    if (NormalizeKeyPath(key).empty() || FindKeyMutable(key)) return;
    const std::size_t end = content_.text().size();
    content_.Replace(end, end, AppendedBlock(key, {}));
    Reparse();
}

void RegistryFile::WriteString(std::string_view key, std::string_view name, std::string_view text) {
    const std::optional<TextEdit> edit = StringEdit(key, name, text);
    if (!edit) return;
    content_.Replace(edit->begin, edit->end, edit->text);
    if (edit->valueLine.next == 0) {
        // A new key block: rare enough to read the file again.
        Reparse();
        return;
    }
    ShiftLines(*edit);
    Key& found = *FindKeyMutable(key);
    if (edit->replacesValue) {
        Value& value = *FindValueMutable(found, name);
        value.data = std::string(text);
        value.isString = true;
        value.lines.back() = edit->valueLine;
        return;
    }
    Lines& block = found.blocks.back();
    block.end = edit->valueLine.end;
    block.next = edit->valueLine.next;
    valueIndex_[static_cast<std::size_t>(&found - keys_.data())].emplace(UpperCase(name), found.values.size());
    found.values.push_back(Value{std::string(name), std::string(text), true, {edit->valueLine}});
}

std::string RegistryFile::BytesWithString(std::string_view key, std::string_view name, std::string_view text) const {
    const std::optional<TextEdit> edit = StringEdit(key, name, text);
    if (!edit) return bytes();
    return content_.BytesWith(edit->begin, edit->end, edit->text);
}

bool RegistryFile::DeleteValue(std::string_view key, std::string_view name) {
    Key* found = FindKeyMutable(key);
    Value* value = found ? FindValueMutable(*found, name) : nullptr;
    if (!value) return false;
    // From the last line back, so the positions of the earlier ones stay valid.
    const std::vector<Lines> lines = value->lines;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) content_.Replace(line->begin, line->next, {});
    Reparse();
    return true;
}

bool RegistryFile::DeleteKeyTree(std::string_view key) {
    const std::string_view path = NormalizeKeyPath(key);
    std::vector<Removal> removals;
    for (const Key& candidate : keys_) {
        if (!IsSameOrBelow(candidate.path, path)) continue;
        for (const Lines& block : candidate.blocks) {
            removals.push_back(Removal{block.begin, AfterBlankLines(content_.text(), block.next)});
        }
    }
    if (removals.empty()) return false;
    std::sort(removals.begin(), removals.end(), [](const Removal& a, const Removal& b) { return a.begin > b.begin; });
    for (const Removal& removal : removals) content_.Replace(removal.begin, removal.end, {});
    Reparse();
    return true;
}

} // namespace vserver::platform
