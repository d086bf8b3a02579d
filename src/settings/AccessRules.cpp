#include "settings/AccessRules.h"

#include <charconv>

#include "settings/ServiceLog.h"

namespace vserver::settings {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trimmed(std::string_view text) {
    std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Plain decimal digits, at least one; anything else (a sign, letters, blanks inside) is not a
// count of connections.
bool ReadCount(std::string_view text, int& count) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

bool AccessRules::ConsoleAllowedFrom(const platform::NetAddress& address) const {
    if (!consoleRestricted) return true;
    for (const platform::AddressPrefix& prefix : consoleAddresses) {
        if (prefix.Matches(address)) return true;
    }
    return false;
}

AddressList ParseAddressList(std::string_view text, bool prefixesAllowed) {
    AddressList list;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view entry = Trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty()) continue;
        std::optional<platform::AddressPrefix> parsed;
        if (prefixesAllowed) {
            parsed = platform::ParseAddressPrefix(entry);
        } else if (auto address = platform::ParseNetAddress(entry)) {
            parsed = platform::AddressPrefix{*address, 128};
        }
        if (parsed) {
            list.entries.push_back(*parsed);
        } else {
            list.rejected.emplace_back(entry);
        }
    }
    return list;
}

namespace {

AccessRules AccessRulesFrom(const std::string& consoleText, std::string_view limitText, const std::string& sharedText) {
    AccessRules rules;
    AddressList consoles = ParseAddressList(consoleText, true);
    rules.consoleAddresses = std::move(consoles.entries);
    rules.consoleRestricted = !Trimmed(consoleText).empty();
    for (const std::string& entry : consoles.rejected) {
        WriteServiceLog("Options\\ConsoleAddresses entry \"" + entry +
                        "\" is not an address or address prefix, it is ignored");
    }
    // A list whose every entry was unreadable still says the console is restricted: it must
    // not open the console to everyone.
    if (rules.consoleRestricted && rules.consoleAddresses.empty()) {
        WriteServiceLog("Options\\ConsoleAddresses holds no usable address, no console can log on");
    }
    const std::string limit(Trimmed(limitText));
    if (!limit.empty() && !ReadCount(limit, rules.maxConnectionsPerAddress)) {
        WriteServiceLog("Options\\MaxConnectionsPerAddress \"" + limit +
                        "\" is not a number of connections, no limit applies");
        rules.maxConnectionsPerAddress = 0;
    }
    rules.consoleOnlySharedFiles = OptionFlag("ConsoleOnlySharedFiles", sharedText);
    return rules;
}

} // namespace

ReloadableOptions ReadReloadableOptions(const ConfigStore& config) {
    OptionTexts read = config.ReadOptionTexts({"AllowAccountCreation", "LogUserStatistics", "ConsoleAddresses",
                                               "MaxConnectionsPerAddress", "ConsoleOnlySharedFiles"});
    ReloadableOptions options;
    options.unreadable = std::move(read.unreadable);
    if (!options.unreadable.empty()) return options;
    options.flags = OptionFlags{OptionFlag("AllowAccountCreation", read.texts[0]),
                                OptionFlag("LogUserStatistics", read.texts[1])};
    options.access = AccessRulesFrom(read.texts[2], read.texts[3], read.texts[4]);
    return options;
}

AccessRules ClosedAccessRules() {
    AccessRules rules;
    rules.consoleRestricted = true;
    rules.consoleOnlySharedFiles = true;
    return rules;
}

AddressList ReadBindAddresses(const ConfigStore& config) {
    return ParseAddressList(config.ReadBindAddress(), false);
}

} // namespace vserver::settings
