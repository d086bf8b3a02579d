#include "loadgen/MorningFiles.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "client/ProtocolClient.h"

namespace vserver::loadgen::morning {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPreferenceSuffix = "VantorelSettings.vts";
constexpr const char* kMessagesFile = "UserMessages.log";
constexpr const char* kToolbarSetsFile = "ForcedToolbarSets.log";
constexpr const char* kAppIdGuid = "{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}";

// The settings every account's file starts from, about the size a client's file has.
constexpr const char* kMasterPreferences =
    "[General]\r\nLanguage=English\r\nAutoSave=True\r\nSaveInterval=5\r\nConfirmExit=True\r\nStartPage=Library\r\n"
    "ShowTips=False\r\nSpellCheck=True\r\nDictionary=School\r\nPredictionLevel=2\r\nWordBank=Default\r\n"
    "[Display]\r\nFontName=Verdana\r\nFontSize=14\r\nBackground=White\r\nTextColour=Black\r\nLineSpacing=1.5\r\n"
    "Margins=Wide\r\nZoom=100\r\nCursorSize=Large\r\nScreenMask=False\r\n"
    "[Speech]\r\nVoice=Default\r\nSpeed=5\r\nPitch=5\r\nVolume=80\r\nReadAsTyped=Words\r\nPauseAtPunctuation=True\r\n"
    "HighlightSpoken=True\r\nHighlightColour=Yellow\r\n"
    "[Reading]\r\nLastBook=None\r\nLastPage=1\r\nBookmarks=0\r\nShowPictures=True\r\nPageTurn=Click\r\n"
    "[Toolbar]\r\nSet=Standard\r\nButtons=Read,Stop,Pause,Spell,Define,Highlight,Predict,Save\r\nPosition=Top\r\n"
    "ButtonSize=Large\r\nShowLabels=True\r\n";

bool WriteFile(const fs::path& path, const std::string& content, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (out) return true;
    *error = "cannot write " + path.string();
    return false;
}

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The master settings with the values that differ between accounts.
std::string AccountPreferences(int account) {
    std::string text = kMasterPreferences;
    auto set = [&text](const std::string& line, const std::string& replacement) {
        text.replace(text.find(line), line.size(), replacement);
    };
    set("FontSize=14", "FontSize=" + std::to_string(10 + account % 8));
    set("Voice=Default", "Voice=Voice " + std::to_string(account % 6));
    set("Speed=5", "Speed=" + std::to_string(1 + account % 9));
    set("LastBook=None", "LastBook=Book " + std::to_string(account));
    return text;
}

std::string Record(std::string_view account, std::string_view payload) {
    return std::string(account) + client::kSectionSeparator + std::string(payload) + "\r\n";
}

// Items left from the day before: a message for every fifth account, a toolbar set for every
// fourth, each file in the record format (records, then one NUL).
bool WriteQueues(const fs::path& folder, int workstations, const std::string& prefix, std::string* error) {
    std::string messages, toolbarSets;
    for (int account = 0; account < workstations; ++account) {
        std::string name = AccountName(prefix, account);
        if (account % 5 == 2) messages += Record(name, "Good morning, " + name);
        if (account % 4 == 1) toolbarSets += Record(name, "Set" + std::to_string(account % 3));
    }
    for (std::string* text : {&messages, &toolbarSets}) {
        if (!text->empty()) text->push_back('\0');
    }
    return WriteFile(folder / kMessagesFile, messages, error) && WriteFile(folder / kToolbarSetsFile, toolbarSets, error);
}

std::string RegistryText(const fs::path& folder) {
    std::string master = (folder / "master").string();
    std::string text = "REGEDIT4\r\n\r\n";
    text += std::string("[HKEY_CLASSES_ROOT\\AppID\\") + kAppIdGuid + "]\r\n@=\"VServerService\"\r\n\r\n";
    text += std::string("[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n\"AppID\"=\"") + kAppIdGuid + "\"\r\n\r\n";
    text += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n\"MasterPath\"=\"" + master + "\"\r\n\r\n";
    text += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n\"PortNumber\"=\"0\"\r\n\r\n";
    text += "[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n\"LogUserStatistics\"=\"True\"\r\n";
    return text;
}

bool MakeFolder(std::string& folder, std::string* error) {
    if (!folder.empty()) return true;
    const char* temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/vserver-morning-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot create a folder like " + pattern;
        return false;
    }
    folder = pattern;
    return true;
}

// The account number a queued record's name stands for, matched without regard to case.
std::optional<int> AccountOf(std::string_view name, const std::string& lowerPrefix, int workstations) {
    std::string lower = Lower(name);
    if (lower.size() <= lowerPrefix.size() || lower.compare(0, lowerPrefix.size(), lowerPrefix) != 0) return std::nullopt;
    std::string digits = lower.substr(lowerPrefix.size());
    if (digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) return std::nullopt;
    int account = std::atoi(digits.c_str());
    if (account >= workstations) return std::nullopt;
    return account;
}

// Calls found(account, payload) for each record of a queue file that names one of the run's
// accounts, in file order; records are cut at CR and trimmed, as a collection reads them.
template <typename Found>
void ReadQueue(const fs::path& path, const std::string& prefix, int workstations, Found found) {
    std::string text = ReadFile(path).value_or("");
    text = text.substr(0, text.find('\0'));
    std::string lowerPrefix = Lower(prefix);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find('\r', start), text.size());
        std::string_view piece = Trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (piece.empty()) continue;
        std::size_t cut = piece.find(client::kSectionSeparator);
        std::string_view payload = cut == std::string_view::npos ? std::string_view() : piece.substr(cut + 1);
        payload = payload.substr(0, payload.find(client::kSectionSeparator));
        if (std::optional<int> account = AccountOf(piece.substr(0, cut), lowerPrefix, workstations)) found(*account, payload);
    }
}

fs::path StatisticsPath(const std::string& folder) { return fs::path(folder) / "master" / "Users" / "EventLog.log"; }

} // namespace

std::string UsersFolder(const std::string& folder) { return (fs::path(folder) / "master" / "Users").string(); }

bool PrepareFolder(std::string& folder, int workstations, const std::string& prefix, std::string* error) {
    if (!MakeFolder(folder, error)) return false;
    fs::path users = UsersFolder(folder);
    std::error_code failed;
    fs::create_directories(users, failed);
    if (failed) {
        *error = "cannot create " + users.string() + ": " + failed.message();
        return false;
    }
    if (!WriteFile(users / kPreferenceSuffix, kMasterPreferences, error)) return false;
    for (int account = 0; account < workstations; ++account) {
        std::string name = AccountName(prefix, account);
        fs::create_directory(users / name, failed);
        if (failed || !WriteFile(users / name / (name + kPreferenceSuffix), AccountPreferences(account), error)) {
            if (failed) *error = "cannot create " + (users / name).string() + ": " + failed.message();
            return false;
        }
    }
    if (!WriteQueues(folder, workstations, prefix, error)) return false;
    fs::path registry = fs::path(folder) / "VServerService.reg";
    return fs::exists(registry) || WriteFile(registry, RegistryText(folder), error);
}

bool LoadExpectations(const std::string& folder, int workstations, const std::string& prefix, Expectations& plan,
                      std::string* error) {
    plan.prefix = prefix;
    plan.workstations = workstations;
    plan.values.assign(static_cast<std::size_t>(workstations), {});
    plan.toolbarSets.assign(static_cast<std::size_t>(workstations), {});
    plan.queuedMessages.clear();
    fs::path users = UsersFolder(folder);
    for (int account = 0; account < workstations; ++account) {
        std::string name = AccountName(prefix, account);
        std::optional<std::string> text = ReadFile(users / name / (name + kPreferenceSuffix));
        if (!text) {
            *error = "no preference file for " + name + " in " + users.string() + " (was the folder prepared?)";
            return false;
        }
        for (std::size_t i = 0; i < kReadItems.size(); ++i) {
            const ReadItem& item = kReadItems[i];
            plan.values[static_cast<std::size_t>(account)][i] = ProfileValue(*text, item.section, item.key, item.fallback);
        }
    }
    ReadQueue(fs::path(folder) / kToolbarSetsFile, prefix, workstations, [&plan](int account, std::string_view payload) {
        std::string& result = plan.toolbarSets[static_cast<std::size_t>(account)];
        if (!result.empty()) result += client::kItemSeparator;
        result += payload;
    });
    ReadQueue(fs::path(folder) / kMessagesFile, prefix, workstations, [&plan](int account, std::string_view payload) {
        plan.queuedMessages.emplace_back(account, std::string(payload));
    });
    return true;
}

std::string StatisticsText(const std::string& folder) { return ReadFile(StatisticsPath(folder)).value_or(""); }

std::size_t StatisticsSize(const std::string& folder) {
    std::error_code failed;
    std::uintmax_t size = fs::file_size(StatisticsPath(folder), failed);
    return failed ? 0 : static_cast<std::size_t>(size);
}

std::string ProfileValue(const std::string& text, const std::string& section, const std::string& key,
                         const std::string& fallback) {
    std::string wantedSection = Lower(section), wantedKey = Lower(key);
    bool inSection = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::string_view trimmed = Trim(line);
        if (trimmed.starts_with('[') && trimmed.ends_with(']')) {
            inSection = Lower(Trim(trimmed.substr(1, trimmed.size() - 2))) == wantedSection;
            continue;
        }
        std::size_t equals = trimmed.find('=');
        if (!inSection || equals == std::string_view::npos || Lower(Trim(trimmed.substr(0, equals))) != wantedKey) continue;
        std::string_view value = Trim(trimmed.substr(equals + 1));
        return value.empty() ? fallback : std::string(value);
    }
    return fallback;
}

} // namespace vserver::loadgen::morning
