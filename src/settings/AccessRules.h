#pragma once
// Who may reach the server and what its clients may touch, as the installation sets it: the
// local addresses to listen on, the addresses a console may log on from, the most connections
// one address may hold, and whether the files every account shares are written only from the
// console. Each is off when not set, and the server then behaves as it always has.

#include <string>
#include <string_view>
#include <vector>

#include "platform/common/NetAddress.h"
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

// The options the console's reload request reads again, all from one version of the settings:
// the two flags and Options\ConsoleAddresses, MaxConnectionsPerAddress and ConsoleOnlySharedFiles.
// An entry or value that cannot be read is reported to the service log, once for each reading,
// and ignored.
struct ReloadableOptions {
    OptionFlags flags;
    AccessRules access;
    // Why the Options key cannot be read with certainty (the store, the line and the reason);
    // flags and access then hold nothing read. Empty when they are what the key holds.
    std::string unreadable;
};
ReloadableOptions ReadReloadableOptions(const ConfigStore& config);

// The rules while they have not been read since the start: no console logs on from anywhere,
// and only the console writes the shared files. The number of connections one address may hold
// stays unlimited, as in every installation that never set it: a limit guessed without the
// setting would turn away the workstations of a room behind one address, and it only guards
// the server's resources, which its other bounds still guard.
AccessRules ClosedAccessRules();

// Connection\BindAddress: the local addresses to listen on (none for every local address),
// and the entries that are not addresses, which must stop the start.
AddressList ReadBindAddresses(const ConfigStore& config);

} // namespace vserver::settings
