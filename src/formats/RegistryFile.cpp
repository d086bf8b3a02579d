#include "formats/RegistryFile.h"

#include <algorithm>
#include <cstddef>

#include "formats/RegistryFileSyntax.h"
#include "formats/TextCase.h"

namespace vserver::platform {

using Key = RegistryFile::Key;
using Value = RegistryFile::Value;
using Lines = RegistryFile::Lines;

namespace {

using namespace registry_syntax;

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads "41,42,00" style byte lists; false when a byte is not two hexadecimal digits.
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

} // namespace

// Reads the file line by line. Values of a raw type may continue over several lines, each
// but the last ending in a backslash; they are joined into one text. Linear in the size of the
// file: keys and values are found through hash indexes.
class RegistryParser {
public:
    RegistryParser(RegistryFile& file, std::vector<std::string>* problems)
        : file_(file), text_(file.content_.text()), problems_(problems) {}

    void Run() {
        file_.keys_.clear();
        file_.keyIndex_.clear();
        file_.valueIndex_.clear();
        file_.version5_ = false;
        file_.headerSeen_ = false;
        file_.unreadableLines_ = false;
        file_.doubts_.clear();
        if (text_.substr(0, kUtf8Mark.size()) == kUtf8Mark) position_ = kUtf8Mark.size();
        if (text_.size() >= 2 && text_[0] == '\xFE' && text_[1] == '\xFF') {
            Report(1, "the file is UTF-16 big-endian text; save it as UTF-16LE or 8-bit text", "");
            return;
        }
        Lines line;
        while (NextLine(line)) {
            const std::string_view trimmed = TrimBlanks(Content(line));
            if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') continue;
            if (!file_.headerSeen_) {
                file_.headerSeen_ = true;
                if (ReadHeader(trimmed)) continue;
            }
            ReadLine(line, trimmed);
        }
        // An existing file without a single line of its own is what an editor leaves for an
        // instant while it saves: it says nothing about any key.
        if (!file_.headerSeen_) {
            file_.AddDoubt({}, text_.empty() ? "the file is empty" : "the file holds only blank lines and comments");
        }
    }

private:
    std::string_view Content(const Lines& line) const { return text_.substr(line.begin, line.end - line.begin); }

    bool NextLine(Lines& line) {
        if (position_ >= text_.size()) return false;
        const std::size_t lf = text_.find('\n', position_);
        line.begin = position_;
        line.next = lf == std::string_view::npos ? text_.size() : lf + 1;
        line.end = lf == std::string_view::npos ? text_.size() : lf;
        if (line.end > line.begin && text_[line.end - 1] == '\r') --line.end;
        position_ = line.next;
        ++lineNumber_;
        return true;
    }

    // The header names the format version, which decides how strings in hexadecimal form
    // are encoded: 8-bit text in the older one, UTF-16LE in the newer.
    bool ReadHeader(std::string_view line) {
        if (line == kHeader) return true;
        if (line == kHeaderVersion5) {
            file_.version5_ = true;
            return true;
        }
        Report(lineNumber_, "missing \"REGEDIT4\" header", line);
        return false;
    }

    void ReadLine(const Lines& line, std::string_view trimmed) {
        if (trimmed.front() == '[') {
            ReadKeyLine(line, trimmed);
        } else if (trimmed.front() == '"' || trimmed.front() == '@') {
            ReadValueLine(line, trimmed);
        } else {
            Report(lineNumber_, "not a key or value", trimmed);
        }
    }

    void ReadKeyLine(const Lines& line, std::string_view trimmed) {
        current_.reset();
        sawKeyLine_ = true;
        if (trimmed.back() != ']') {
            Report(lineNumber_, "key without closing bracket; its values are skipped", trimmed);
            return;
        }
        std::string_view path = trimmed.substr(1, trimmed.size() - 2);
        const bool remove = !path.empty() && path.front() == '-';
        if (remove) path.remove_prefix(1);
        path = NormalizeKeyPath(path);
        if (!StartsWithNoCase(path, "HKEY_")) {
            Report(lineNumber_, "key does not start with a HKEY_ root; its values are skipped", trimmed);
            return;
        }
        if (remove) {
            EraseTree(path);
            return;
        }
        std::size_t index = FindOrAddKey(path);
        file_.keys_[index].blocks.push_back(line);
        current_ = index;
    }

    void ReadValueLine(const Lines& line, std::string_view trimmed) {
        const std::size_t startLine = lineNumber_;
        if (!current_) {
            // Values below a skipped or removed key belong to that key line and go with it.
            if (!sawKeyLine_) Report(startLine, "value outside a key", trimmed);
            return;
        }
        Value value;
        std::size_t at = 0;
        if (trimmed.front() == '@') {
            at = 1;
        } else if (!ReadQuoted(trimmed, at, value.name)) {
            ReportInKey(startLine, "value name without closing quote", trimmed);
            return;
        }
        std::string_view rest = TrimBlanks(trimmed.substr(at));
        if (rest.empty() || rest.front() != '=') {
            ReportInKey(startLine, "value without '='", trimmed);
            return;
        }
        rest = TrimBlanks(rest.substr(1));
        Lines span = line;
        bool remove = false;
        const char* problem = ReadData(rest, value, remove, span);
        Key& key = file_.keys_[*current_];
        key.blocks.back().end = span.end;
        key.blocks.back().next = span.next;
        if (remove) {
            EraseValue(*current_, value.name);
        } else if (problem) {
            ReportInKey(startLine, problem, trimmed);
        } else {
            value.lines.push_back(span);
            SetValue(*current_, std::move(value));
        }
    }

    // Returns nullptr when value holds the data or remove is set (the "-" form), else a problem.
    // span grows over the continuation lines of the data.
    const char* ReadData(std::string_view data, Value& value, bool& remove, Lines& span) {
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
        value.data = JoinContinuations(data, span);
        value.isString = false;
        if (StartsWithNoCase(value.data, "hex(1):") || StartsWithNoCase(value.data, "hex(2):")) {
            std::string bytes;
            if (!DecodeHexBytes(std::string_view(value.data).substr(7), bytes)) {
                return "string in hex form with a byte that is not two hex digits";
            }
            // The data end at their terminating NUL, as a string read from the registry does.
            std::string text = file_.version5_ ? Utf16LeToCodePage(bytes) : std::move(bytes);
            value.data = text.substr(0, text.find('\0'));
            value.isString = true;
        }
        return nullptr;
    }

    std::string JoinContinuations(std::string_view first, Lines& span) {
        std::string joined(first);
        Lines next;
        while (!joined.empty() && joined.back() == '\\' && NextLine(next)) {
            joined.pop_back();
            joined += TrimBlanks(Content(next));
            span.end = next.end;
            span.next = next.next;
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

    std::size_t FindOrAddKey(std::string_view path) {
        auto [found, added] = file_.keyIndex_.try_emplace(UpperCase(path), file_.keys_.size());
        if (added) {
            file_.keys_.push_back(Key{std::string(path), {}, {}});
            file_.valueIndex_.emplace_back();
        }
        return found->second;
    }

    // A name given again replaces the data but keeps the spelling it was first stored with.
    void SetValue(std::size_t keyIndex, Value value) {
        Key& key = file_.keys_[keyIndex];
        auto [found, added] = file_.valueIndex_[keyIndex].try_emplace(UpperCase(value.name), key.values.size());
        if (added) {
            key.values.push_back(std::move(value));
            return;
        }
        Value& existing = key.values[found->second];
        existing.data = std::move(value.data);
        existing.isString = value.isString;
        existing.lines.push_back(value.lines.back());
    }

    void EraseValue(std::size_t keyIndex, std::string_view name) {
        auto& index = file_.valueIndex_[keyIndex];
        const auto found = index.find(UpperCase(name));
        if (found == index.end()) return;
        std::vector<Value>& values = file_.keys_[keyIndex].values;
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(found->second));
        index.clear();
        for (std::size_t i = 0; i < values.size(); ++i) index.emplace(UpperCase(values[i].name), i);
    }

    // Removal lines are rare, so the indexes are simply built again.
    void EraseTree(std::string_view path) {
        std::vector<Key> kept;
        std::vector<std::unordered_map<std::string, std::size_t>> keptValues;
        for (std::size_t i = 0; i < file_.keys_.size(); ++i) {
            if (IsSameOrBelow(file_.keys_[i].path, path)) continue;
            kept.push_back(std::move(file_.keys_[i]));
            keptValues.push_back(std::move(file_.valueIndex_[i]));
        }
        file_.keys_ = std::move(kept);
        file_.valueIndex_ = std::move(keptValues);
        file_.keyIndex_.clear();
        for (std::size_t i = 0; i < file_.keys_.size(); ++i) file_.keyIndex_.emplace(UpperCase(file_.keys_[i].path), i);
    }

    // A line that cannot be read. Unless it is a value line of a key that was read, it may have
    // been meant as any key's line, so it leaves every key in doubt.
    void Report(std::size_t lineNumber, std::string_view what, std::string_view line, std::string key = {}) {
        constexpr std::size_t kShownCharacters = 80;
        std::string text = "line " + std::to_string(lineNumber) + ": " + std::string(what);
        if (!line.empty()) text += ": " + std::string(line.substr(0, kShownCharacters));
        file_.unreadableLines_ = true;
        if (problems_) problems_->push_back(text);
        file_.AddDoubt(std::move(key), std::move(text));
    }

    void ReportInKey(std::size_t lineNumber, std::string_view what, std::string_view line) {
        Report(lineNumber, what, line, file_.keys_[*current_].path);
    }

    RegistryFile& file_;
    std::string_view text_;
    std::vector<std::string>* problems_;
    std::optional<std::size_t> current_;
    std::size_t position_ = 0;
    std::size_t lineNumber_ = 0;
    bool sawKeyLine_ = false;
};

RegistryFile RegistryFile::Parse(std::string_view content, std::vector<std::string>* problems) {
    return ParseBytes(std::string(content), problems);
}

RegistryFile RegistryFile::ParseBytes(std::string bytes, std::vector<std::string>* problems) {
    RegistryFile registry{std::move(bytes)};
    registry.Reparse(problems);
    return registry;
}

void RegistryFile::Reparse(std::vector<std::string>* problems) { RegistryParser(*this, problems).Run(); }

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

RegistryFile::Key* RegistryFile::FindKeyMutable(std::string_view key) {
    const auto found = keyIndex_.find(UpperCase(NormalizeKeyPath(key)));
    return found == keyIndex_.end() ? nullptr : &keys_[found->second];
}

RegistryFile::Value* RegistryFile::FindValueMutable(Key& key, std::string_view name) {
    const auto& index = valueIndex_[static_cast<std::size_t>(&key - keys_.data())];
    const auto found = index.find(UpperCase(name));
    return found == index.end() ? nullptr : &key.values[found->second];
}

std::optional<std::string> RegistryFile::DoubtAbout(std::string_view key) const {
    const std::string_view path = NormalizeKeyPath(key);
    for (const Doubt& doubt : doubts_) {
        if (doubt.key.empty() || EqualNoCase(doubt.key, path)) return doubt.description;
    }
    return std::nullopt;
}

void RegistryFile::AddDoubt(std::string key, std::string description) {
    doubts_.push_back(Doubt{std::move(key), std::move(description)});
}

void RegistryFile::MarkChangedWhileRead() {
    changedWhileRead_ = true;
    AddDoubt({}, "the file changed while it was read");
}

const RegistryFile::Value* RegistryFile::FindValue(const Key& key, std::string_view name) const {
    return const_cast<RegistryFile*>(this)->FindValueMutable(const_cast<Key&>(key), name);
}

std::optional<std::string> RegistryFile::ReadString(std::string_view key, std::string_view name) const {
    const Key* found = FindKey(key);
    if (!found) return std::nullopt;
    const Value* value = FindValue(*found, name);
    if (!value || !value->isString) return std::nullopt;
    return value->data;
}

} // namespace vserver::platform
