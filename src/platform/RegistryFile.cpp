#include "platform/RegistryFile.h"

#include <algorithm>
#include <cstddef>

#include "platform/TextCase.h"

namespace vserver::platform {
namespace {

using Key = RegistryFile::Key;
using Value = RegistryFile::Value;

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kHeaderVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";
// Bytes per line when a string is written in its hexadecimal form, as the registry editor
// wraps its own exports.
constexpr std::size_t kHexBytesPerLine = 25;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// "[...\Options\]" and "[...\Options]" name the same key, so trailing separators never count.
std::string_view NormalizeKeyPath(std::string_view path) {
    path = TrimBlanks(path);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    return path;
}

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

Key* FindIn(std::vector<Key>& keys, std::string_view path) {
    path = NormalizeKeyPath(path);
    for (Key& key : keys) {
        if (EqualNoCase(key.path, path)) return &key;
    }
    return nullptr;
}

Key& FindOrAppend(std::vector<Key>& keys, std::string_view path) {
    if (Key* key = FindIn(keys, path)) return *key;
    keys.push_back(Key{std::string(NormalizeKeyPath(path)), {}});
    return keys.back();
}

// A name given again replaces the data but keeps the spelling it was first stored with.
void SetValue(Key& key, Value value) {
    for (Value& existing : key.values) {
        if (EqualNoCase(existing.name, value.name)) {
            existing.data = std::move(value.data);
            existing.isString = value.isString;
            return;
        }
    }
    key.values.push_back(std::move(value));
}

bool EraseValue(Key& key, std::string_view name) {
    const auto found = std::find_if(key.values.begin(), key.values.end(),
                                    [&](const Value& v) { return EqualNoCase(v.name, name); });
    if (found == key.values.end()) return false;
    key.values.erase(found);
    return true;
}

bool IsSameOrBelow(std::string_view candidate, std::string_view path) {
    if (!StartsWithNoCase(candidate, path)) return false;
    return candidate.size() == path.size() || candidate[path.size()] == '\\';
}

bool EraseTree(std::vector<Key>& keys, std::string_view path) {
    path = NormalizeKeyPath(path);
    const auto removed = std::erase_if(keys, [&](const Key& key) { return IsSameOrBelow(key.path, path); });
    return removed > 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads "hex(1):41,42,00" style byte lists; false when a byte is not two hexadecimal digits.
bool DecodeHexBytes(std::string_view list, std::string& bytes) {
    list = TrimBlanks(list);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view item = TrimBlanks(list.substr(0, comma));
        if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0) return false;
        bytes.push_back(static_cast<char>(HexDigit(item[0]) * 16 + HexDigit(item[1])));
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return true;
}

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
void AppendHexString(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "hex(1):";
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(i < text.size() ? text[i] : '\0');
        if (i > 0) {
            out += ',';
            if (i % kHexBytesPerLine == 0) {
                out += '\\';
                out += kLineEnd;
                out += "  ";
            }
        }
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
}

void AppendValue(std::string& out, const Value& value) {
    if (value.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, value.name);
    }
    out += '=';
    if (!value.isString) {
        out += value.data;
    } else if (HoldsLineBreak(value.data)) {
        AppendHexString(out, value.data);
    } else {
        AppendQuoted(out, value.data);
    }
    out += kLineEnd;
}

// Reads the file line by line. Values of a raw type may continue over several lines, each
// but the last ending in a backslash; they are joined into one text.
class Parser {
public:
    Parser(std::string_view text, std::vector<std::string>* problems) : text_(text), problems_(problems) {}

    std::vector<Key> Run() {
        if (text_.substr(0, kUtf8Mark.size()) == kUtf8Mark) text_.remove_prefix(kUtf8Mark.size());
        if (LooksLikeUtf16()) {
            Report(1, "the file is UTF-16 text; save it as 8-bit text", "");
            return {};
        }
        std::string_view line;
        bool headerSeen = false;
        while (NextLine(line)) {
            const std::string_view trimmed = TrimBlanks(line);
            if (trimmed.empty() || trimmed.front() == ';') continue;
            if (!headerSeen) {
                headerSeen = true;
                if (ReadHeader(trimmed)) continue;
            }
            ReadLine(trimmed);
        }
        return std::move(keys_);
    }

private:
    bool LooksLikeUtf16() const {
        return text_.size() >= 2 && ((text_[0] == '\xFF' && text_[1] == '\xFE') ||
                                     (text_[0] == '\xFE' && text_[1] == '\xFF'));
    }

    bool NextLine(std::string_view& line) {
        if (position_ >= text_.size()) return false;
        const std::size_t end = text_.find('\n', position_);
        const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
        line = text_.substr(position_, stop - position_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        position_ = stop + 1;
        ++lineNumber_;
        return true;
    }

    // The header names the format version; strings in hexadecimal form are 8-bit text only in
    // the older one, so only there are they read as strings.
    bool ReadHeader(std::string_view line) {
        if (line == kHeader) {
            decodeHexStrings_ = true;
            return true;
        }
        if (line == kHeaderVersion5) return true;
        Report(lineNumber_, "missing \"REGEDIT4\" header", line);
        return false;
    }

    void ReadLine(std::string_view line) {
        if (line.front() == '[') {
            ReadKeyLine(line);
        } else if (line.front() == '"' || line.front() == '@') {
            ReadValueLine(line);
        } else {
            Report(lineNumber_, "not a key or value", line);
        }
    }

    void ReadKeyLine(std::string_view line) {
        current_.reset();
        sawKeyLine_ = true;
        if (line.back() != ']') {
            Report(lineNumber_, "key without closing bracket; its values are skipped", line);
            return;
        }
        std::string_view path = line.substr(1, line.size() - 2);
        const bool remove = !path.empty() && path.front() == '-';
        if (remove) path.remove_prefix(1);
        path = NormalizeKeyPath(path);
        if (!StartsWithNoCase(path, "HKEY_")) {
            Report(lineNumber_, "key does not start with a HKEY_ root; its values are skipped", line);
            return;
        }
        if (remove) {
            EraseTree(keys_, path);
            return;
        }
        const Key& key = FindOrAppend(keys_, path);
        current_ = static_cast<std::size_t>(&key - keys_.data());
    }

    void ReadValueLine(std::string_view line) {
        const std::size_t startLine = lineNumber_;
        if (!current_) {
            // Values below a skipped or removed key belong to that key line and go with it.
            if (!sawKeyLine_) Report(startLine, "value outside a key", line);
            return;
        }
        Value value;
        std::size_t at = 0;
        if (line.front() == '@') {
            at = 1;
        } else if (!ReadQuoted(line, at, value.name)) {
            Report(startLine, "value name without closing quote", line);
            return;
        }
        std::string_view rest = TrimBlanks(line.substr(at));
        if (rest.empty() || rest.front() != '=') {
            Report(startLine, "value without '='", line);
            return;
        }
        rest = TrimBlanks(rest.substr(1));
        bool remove = false;
        const char* problem = ReadData(rest, value, remove);
        if (remove) {
            EraseValue(keys_[*current_], value.name);
        } else if (problem) {
            Report(startLine, problem, line);
        } else {
            SetValue(keys_[*current_], std::move(value));
        }
    }

    // Returns nullptr when value holds the data or remove is set (the "-" form), else a problem.
    const char* ReadData(std::string_view data, Value& value, bool& remove) {
        if (data.empty()) return "value without data";
        if (data.front() == '"') {
            std::size_t at = 0;
            if (!ReadQuoted(data, at, value.data)) return "string without closing quote";
            const std::string_view after = TrimBlanks(data.substr(at));
            if (!after.empty() && after.front() != ';') return "text after the closing quote";
            value.isString = true;
            return nullptr;
        }
        if (data == "-") {
            remove = true;
            return nullptr;
        }
        if (!StartsWithNoCase(data, "dword:") && !StartsWithNoCase(data, "hex:") &&
            !StartsWithNoCase(data, "hex(")) {
            return "data is neither a quoted string nor a dword: or hex: value";
        }
        value.data = JoinContinuations(data);
        value.isString = false;
        if (decodeHexStrings_ && StartsWithNoCase(value.data, "hex(1):")) {
            std::string bytes;
            if (!DecodeHexBytes(std::string_view(value.data).substr(7), bytes)) return "hex(1): byte that is not two hex digits";
            if (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
            value.data = std::move(bytes);
            value.isString = true;
        }
        return nullptr;
    }

    std::string JoinContinuations(std::string_view first) {
        std::string joined(first);
        std::string_view next;
        while (!joined.empty() && joined.back() == '\\' && NextLine(next)) {
            joined.pop_back();
            joined += TrimBlanks(next);
        }
        return joined;
    }

    // Reads a quoted text starting at text[at]; only \\ and \" are escapes, any other
    // backslash stays as it is. Leaves at behind the closing quote.
    static bool ReadQuoted(std::string_view text, std::size_t& at, std::string& out) {
        for (std::size_t i = at + 1; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '"') {
                at = i + 1;
                return true;
            }
            if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
            out += text[i];
        }
        return false;
    }

    void Report(std::size_t lineNumber, std::string_view what, std::string_view line) {
        if (!problems_) return;
        constexpr std::size_t kShownCharacters = 80;
        std::string text = "line " + std::to_string(lineNumber) + ": " + std::string(what);
        if (!line.empty()) text += ": " + std::string(line.substr(0, kShownCharacters));
        problems_->push_back(std::move(text));
    }

    std::string_view text_;
    std::vector<std::string>* problems_;
    std::vector<Key> keys_;
    std::optional<std::size_t> current_;
    std::size_t position_ = 0;
    std::size_t lineNumber_ = 0;
    bool decodeHexStrings_ = false;
    bool sawKeyLine_ = false;
};

} // namespace

RegistryFile RegistryFile::Parse(std::string_view text, std::vector<std::string>* problems) {
    RegistryFile registry;
    registry.keys_ = Parser(text, problems).Run();
    return registry;
}

// A key exists when it is written out or when a key below it is: the file, like an import,
// creates every parent of a key it names.
bool RegistryFile::HasKey(std::string_view key) const {
    const std::string_view path = NormalizeKeyPath(key);
    return std::any_of(keys_.begin(), keys_.end(),
                       [&](const Key& candidate) { return IsSameOrBelow(candidate.path, path); });
}

const RegistryFile::Key* RegistryFile::FindKey(std::string_view key) const {
    return const_cast<RegistryFile*>(this)->FindKeyMutable(key);
}

RegistryFile::Key* RegistryFile::FindKeyMutable(std::string_view key) { return FindIn(keys_, key); }

std::optional<std::string> RegistryFile::ReadString(std::string_view key, std::string_view name) const {
    const Key* found = FindKey(key);
    if (!found) return std::nullopt;
    for (const Value& value : found->values) {
        if (EqualNoCase(value.name, name)) {
            if (!value.isString) return std::nullopt;
            return value.data;
        }
    }
    return std::nullopt;
}

// Parents need no block of their own: a key's block makes every key above it exist (HasKey).
void RegistryFile::CreateKey(std::string_view key) {
    if (!NormalizeKeyPath(key).empty()) FindOrAppend(keys_, key);
}

void RegistryFile::WriteString(std::string_view key, std::string_view name, std::string_view text) {
    if (HoldsLineBreak(name)) return;
    CreateKey(key);
    SetValue(*FindKeyMutable(key), Value{std::string(name), std::string(text), true});
}

bool RegistryFile::DeleteValue(std::string_view key, std::string_view name) {
    Key* found = FindKeyMutable(key);
    return found && EraseValue(*found, name);
}

bool RegistryFile::DeleteKeyTree(std::string_view key) { return EraseTree(keys_, key); }

std::string RegistryFile::Serialize() const {
    std::string out(kHeader);
    out += kLineEnd;
    out += kLineEnd;
    for (const Key& key : keys_) {
        out += '[';
        out += key.path;
        out += ']';
        out += kLineEnd;
        for (const Value& value : key.values) AppendValue(out, value);
        out += kLineEnd;
    }
    return out;
}

} // namespace vserver::platform
