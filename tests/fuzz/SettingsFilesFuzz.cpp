// Arbitrary registry and profile files, in 8-bit text or UTF-16LE, and a sequence of writes as
// the server makes them (option writes; preference values that pass the request checks).
// Nothing may crash. A registry file that parses without problems survives every write: the
// bytes outside the lines of the written value stay, the file keeps its encoding, parses again
// without problems, reads the written value and every other value as before. A profile file
// reads each value set in it, keeps the values set before, and changes at most one line a write.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/CodePage.h"
#include "formats/ProfileFile.h"
#include "formats/RegistryFile.h"
#include "formats/TextCase.h"

namespace {

using vserver::platform::EncodedText;
using vserver::platform::ProfileFile;
using vserver::platform::RegistryFile;
using vserver::platform::UpperCase;

constexpr const char* kOptions = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";

void Check(bool holds) {
    if (!holds) std::abort();
}

// The part of before that a change into after touched, widened to whole lines: the bytes
// before it and after it are the same in both texts.
std::pair<std::size_t, std::size_t> ChangedLines(std::string_view before, std::string_view after) {
    std::size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
    std::size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
    }
    std::size_t begin = prefix;
    std::size_t end = before.size() - suffix;
    if (begin == end) return {begin, end};
    while (begin > 0 && before[begin - 1] != '\n' && before[begin - 1] != '\r') --begin;
    while (end < before.size() && before[end] != '\n' && before[end] != '\r') ++end;
    return {begin, end};
}

std::string FileText(std::string text, bool utf16) {
    if (!utf16) return text;
    return std::string(vserver::platform::kUtf16LeMark) + vserver::platform::CodePageToUtf16Le(text);
}

// Every string value of the file, by upper-cased key path and value name.
std::map<std::pair<std::string, std::string>, std::string> Strings(const RegistryFile& registry) {
    std::map<std::pair<std::string, std::string>, std::string> strings;
    for (const auto& key : registry.keys()) {
        for (const auto& value : key.values) {
            if (value.isString) strings[{UpperCase(key.path), UpperCase(value.name)}] = value.data;
        }
    }
    return strings;
}

void FuzzRegistry(FuzzedDataProvider& input, bool utf16) {
    std::vector<std::pair<std::string, std::string>> writes;
    for (int n = input.ConsumeIntegralInRange(0, 6); n > 0; --n) {
        std::string name = input.ConsumeRandomLengthString(12);
        writes.emplace_back(std::move(name), input.ConsumeRandomLengthString(40));
    }
    const std::string file = FileText(input.ConsumeRemainingBytesAsString(), utf16);
    std::vector<std::string> problems;
    RegistryFile registry = RegistryFile::Parse(file, &problems);
    // A file with lines that cannot be read is never written.
    if (!problems.empty()) return;

    for (const auto& [name, text] : writes) {
        // The server refuses names with a line break before it writes, and no NUL byte
        // reaches it from a client.
        if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos ||
            text.find('\0') != std::string::npos) {
            continue;
        }
        const std::string before = registry.text();
        auto expected = Strings(registry);
        const auto* key = registry.FindKey(kOptions);
        const RegistryFile::Value* old = nullptr;
        if (key) {
            for (const auto& value : key->values) {
                if (UpperCase(value.name) == UpperCase(name)) old = &value;
            }
        }
        std::vector<RegistryFile::Lines> oldLines = old ? old->lines : std::vector<RegistryFile::Lines>{};

        registry.WriteString(kOptions, name, text);

        const auto [begin, end] = ChangedLines(before, registry.text());
        if (begin != end) {
            // Only the last line that set the value may change.
            Check(!oldLines.empty() && begin >= oldLines.back().begin && end <= oldLines.back().end);
        }
        Check(registry.bytes().substr(0, 2) == vserver::platform::kUtf16LeMark || !utf16);
        Check(EncodedText(registry.bytes()).text() == registry.text());
        RegistryFile again = RegistryFile::Parse(registry.bytes(), &problems);
        Check(problems.empty());
        expected[{UpperCase(kOptions), UpperCase(name)}] = text;
        Check(Strings(again) == expected);
        registry = std::move(again);
    }
}

// What the request checks let through to the profile engine: no line breaks or NULs, no "="
// in a key, no "]" in a section, no key that reads as a section or a comment; and, so that the
// value reads back as written, no blanks or quotes around it.
bool Writable(std::string_view section, std::string_view key, std::string_view value) {
    auto clean = [](std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; };
    if (!clean(section) || !clean(key) || !clean(value)) return false;
    if (key.find('=') != std::string_view::npos || section.find(']') != std::string_view::npos) return false;
    const std::size_t keyStart = key.find_first_not_of(" \t");
    if (keyStart == std::string_view::npos || key[keyStart] == '[' || key[keyStart] == ';') return false;
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' || value.back() == '\t')) {
        return false;
    }
    return value.size() < 2 || value.front() != value.back() || (value.front() != '"' && value.front() != '\'');
}

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return UpperCase(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

void FuzzProfile(FuzzedDataProvider& input, bool utf16) {
    struct Write {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Write> writes;
    for (int n = input.ConsumeIntegralInRange(0, 6); n > 0; --n) {
        Write write;
        write.section = input.ConsumeRandomLengthString(8);
        write.key = input.ConsumeRandomLengthString(8);
        write.value = input.ConsumeRandomLengthString(20);
        writes.push_back(std::move(write));
    }
    ProfileFile profile(FileText(input.ConsumeRemainingBytesAsString(), utf16));
    (void)profile.Find("General", "FontSize");

    std::map<std::pair<std::string, std::string>, std::string> written;
    for (const Write& write : writes) {
        if (!Writable(write.section, write.key, write.value)) continue;
        const std::string before = profile.text();
        profile.Set(write.section, write.key, write.value);

        const auto [begin, end] = ChangedLines(before, profile.text());
        Check(before.substr(begin, end - begin).find_first_of("\r\n") == std::string::npos);
        Check(!utf16 || profile.bytes().substr(0, 2) == vserver::platform::kUtf16LeMark);
        Check(EncodedText(profile.bytes()).text() == profile.text());
        written[{Trimmed(write.section), Trimmed(write.key)}] = write.value;
        for (const auto& [place, value] : written) {
            Check(profile.Find(place.first, place.second) == value);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool registry = input.ConsumeBool();
    const bool utf16 = input.ConsumeBool();
    if (registry) {
        FuzzRegistry(input, utf16);
    } else {
        FuzzProfile(input, utf16);
    }
    return 0;
}
