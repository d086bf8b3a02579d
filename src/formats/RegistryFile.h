#pragma once
// The registry file: the settings store of the server and of its registration, kept in the
// text format of the registry editor's exports (one "[key]" block per key, "name"="string"
// lines, "@" for the default value). Both forms are read: "REGEDIT4" (8-bit text) and
// "Windows Registry Editor Version 5.00" (UTF-16LE with byte order mark). RegistryFile owns the
// whole content of the file and what it says; nothing stays open between calls. Key paths are
// written with backslashes and begin with the hive name, for example
// "HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server\Connection". Key and value names match
// without regard to case. Strings are "..." and the hex(1): and hex(2): forms; values of
// other types (dword:, hex:, hex(N):) read as "not a string".
//
// A change edits only the lines of the values it sets: a value's last line is rewritten in
// place, a new value goes after the last value of its key, a new key at the end of the file.
// The header, the encoding, comments, blank lines, order and every other byte stay, so what a
// person wrote survives. Reading the file from disk and replacing it are platform/'s
// (RegistryFileIo.h); this is the format alone.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "formats/CodePage.h"

namespace vserver::platform {

class RegistryFile {
public:
    // Lines of the 8-bit text: [begin, end) the content, next where the following line begins.
    struct Lines {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::size_t next = 0;
    };
    struct Value {
        std::string name;      // "" is the key's default value ("@" in the file)
        std::string data;      // the string, or the raw text after '=' for other types
        bool isString = true;
        std::vector<Lines> lines;  // every line that sets it; the last one counts
    };
    struct Key {
        std::string path;
        std::vector<Value> values;
        std::vector<Lines> blocks;  // each "[key]" line through its last value line
    };

    // What leaves the values of a key in doubt: a line that cannot be read, or something about
    // the whole file, so that what the file means there cannot be known.
    struct Doubt {
        std::string key;          // the key whose values it concerns; empty when it may be any key
        std::string description;  // "line N: reason: the line", or the reason for the whole file
    };

    RegistryFile() = default;

    // Parses a file's content. Lines that cannot be read are skipped and described in problems
    // (when given) as "line N: reason: the line"; everything readable is kept.
    static RegistryFile Parse(std::string_view content, std::vector<std::string>* problems = nullptr);

    // The same for bytes this copy takes over without copying them.
    static RegistryFile ParseBytes(std::string bytes, std::vector<std::string>* problems = nullptr);

    // Why the values of key may not be what the file's author meant, or nothing when they read
    // whole: a line inside the key that cannot be read, a line that may have been meant as a key
    // line, or a file that exists but is empty, lacks its header or changed while it was read
    // (as when an editor saves it at that moment). A missing file leaves nothing in doubt.
    std::optional<std::string> DoubtAbout(std::string_view key) const;
    // Marks what was read as possibly torn: another program changed the file while it was
    // read. The whole file is then in doubt and this copy is not written back.
    void MarkChangedWhileRead();
    // A copy may be changed and written back only when every line could be read (what a person
    // meant in a line that cannot be read is unknown) and nothing changed the file while it was
    // read; these say which of the two stands in the way.
    bool hasUnreadableLines() const { return unreadableLines_; }
    bool changedWhileRead() const { return changedWhileRead_; }

    bool HasKey(std::string_view key) const;
    // The string value, or nothing when the key or value is missing or the value is not a string.
    std::optional<std::string> ReadString(std::string_view key, std::string_view name) const;
    const Key* FindKey(std::string_view key) const;

    // Adds a block for the key when it has none of its own.
    void CreateKey(std::string_view key);
    // Creates the key as needed and stores name = text as a string. A name holding a line break
    // cannot be written to the file and is ignored. Setting a value of an existing key costs no
    // new reading of the file: only the positions behind the changed line move.
    void WriteString(std::string_view key, std::string_view name, std::string_view text);
    // The file's bytes as WriteString(key, name, text) would leave them, without changing this copy.
    std::string BytesWithString(std::string_view key, std::string_view name, std::string_view text) const;
    // Removes every line that sets the value.
    bool DeleteValue(std::string_view key, std::string_view name);
    // Removes the blocks of the key and of all its subkeys.
    bool DeleteKeyTree(std::string_view key);

    // The file's content in its own encoding.
    const std::string& bytes() const { return content_.bytes(); }
    // The content as 8-bit text (what the line positions count in).
    const std::string& text() const { return content_.text(); }
    bool version5() const { return version5_; }
    const std::vector<Key>& keys() const { return keys_; }

private:
    // One change of the 8-bit text: [begin, end) replaced by text.
    struct TextEdit {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::string text;
        // Where the new line of the value lands, as a span of the edited text (empty: the edit
        // adds a key block, after which the file is read again).
        Lines valueLine;
        bool replacesValue = false;
    };

    explicit RegistryFile(std::string bytes) : content_(std::move(bytes)) {}
    void Reparse(std::vector<std::string>* problems = nullptr);
    Key* FindKeyMutable(std::string_view key);
    Value* FindValueMutable(Key& key, std::string_view name);
    const Value* FindValue(const Key& key, std::string_view name) const;
    std::string_view LineEnd() const;
    std::string AppendedBlock(std::string_view key, std::string_view valueLine) const;
    std::string ValueLine(std::string_view name, std::string_view text) const;
    // The edit that stores name = text, or nothing when it cannot be written.
    std::optional<TextEdit> StringEdit(std::string_view key, std::string_view name, std::string_view text) const;
    // Moves every line position at or behind the edit's end by the change in length.
    void ShiftLines(const TextEdit& edit);
    void AddDoubt(std::string key, std::string description);

    EncodedText content_;
    bool version5_ = false;
    bool headerSeen_ = false;
    bool unreadableLines_ = false;
    bool changedWhileRead_ = false;
    std::vector<Doubt> doubts_;
    std::vector<Key> keys_;
    std::unordered_map<std::string, std::size_t> keyIndex_;                       // upper-case path
    std::vector<std::unordered_map<std::string, std::size_t>> valueIndex_;        // upper-case name, per key

    friend class RegistryParser;
};

} // namespace vserver::platform
