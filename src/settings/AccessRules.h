#pragma once
// Who may reach the server and what its clients may touch, as the installation sets it: the
// local addresses to listen on, the addresses a console may log on from, the most connections
// one address may hold, and whether the files every account shares are written only from the
// console. Each is off when not set, and the server then behaves as it always has.

#include <string>
#include <string_view>
#include <vector>

#include "platform/NetAddress.h"
#include "settings/ConfigStore.h"

namespace vserver::settings {

struct AccessRules {
    // Addresses and prefixes a console may log on from, when restricted at all; a setting
    // that is absent or empty lets anyone.
    std::vector<platform::AddressPrefix> consoleAddresses;
    bool consoleRestricted = false;
    // The most connections one client address may hold at once; 0 for no limit.
    int maxConnectionsPerAddress = 0;
    // Preference writes outside the requester's own home folder only from the console.
    bool consoleOnlySharedFiles = false;

    bool ConsoleAllowedFrom(const platform::NetAddress& address) const;
};

// A comma-separated list of addresses (and, when allowed, prefixes), blanks around each entry
// removed and empty entries dropped; the entries that are neither are kept as written.
struct AddressList {
    std::vector<platform::AddressPrefix> entries;
    std::vector<std::string> rejected;
};
AddressList ParseAddressList(std::string_view text, bool prefixesAllowed);

// Options\ConsoleAddresses, MaxConnectionsPerAddress and ConsoleOnlySharedFiles. An entry or
// value that cannot be read is reported to the service log, once for each reading, and ignored.
AccessRules ReadAccessRules(const ConfigStore& config);

// Connection\BindAddress: the local addresses to listen on (none for every local address),
// and the entries that are not addresses, which must stop the start.
AddressList ReadBindAddresses(const ConfigStore& config);

} // namespace vserver::settings
