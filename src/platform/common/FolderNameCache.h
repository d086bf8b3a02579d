#pragma once
// Names of folders as one scan found them, kept so that matching a name without regard to case
// does not read a large folder again for every request. FolderListing owns the names of one
// folder; FolderNameCache owns the listings of recently used folders, each tied to the folder's
// identity and change stamps as they were read before its scan.
//
// A listing is only ever used while the folder's stamps, read again by the caller for this
// very lookup, are still the ones it was scanned under. Any entry created, removed or renamed
// in a folder changes its stamps, so a listing can never hide such a change; what the cache
// cannot know is a change that lands within the same tick of the file system's clock as the
// stamps it holds, which is why a listing whose stamps were too recent when read is not kept.

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vserver::platform {

// What identifies a folder and changes whenever an entry in it is added, removed or renamed.
struct FolderStamps {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedNs = 0;  // since the epoch
    std::int64_t changedNs = 0;   // since the epoch
    std::uint64_t size = 0;
    std::uint64_t links = 0;
    bool operator==(const FolderStamps&) const = default;
};

enum class EntryKind : std::uint8_t { Unknown, File, Folder, Link };

struct ListedEntry {
    std::string name;  // as the file system stores it
    EntryKind kind = EntryKind::Unknown;
};

class FolderListing {
public:
    // Adds an entry in the order the scan returns them. form: the name as it is compared
    // without regard to case, where that differs from name (a backend that stores names in
    // another encoding than its callers use); empty when name itself is.
    void Add(std::string name, EntryKind kind, std::string_view form = {});

    // The entry named exactly name or, when there is none, the first one added whose form
    // matches name's form (as given, or name itself) without regard to case; nothing when
    // neither exists.
    const ListedEntry* Find(std::string_view name, std::string_view form = {}) const;

    std::size_t size() const { return entries_.size(); }

private:
    std::vector<ListedEntry> entries_;
    // Upper-cased name -> index of the first entry with that form.
    std::unordered_map<std::string, std::uint32_t> firstByUpper_;
    // Set for entries whose upper-cased form another entry shares; an exact match must then
    // be looked for among all of them.
    std::vector<bool> sharesForm_;
};

class FolderNameCache {
public:
    // Keeps at most maxNames names over all listings, each folder counting as one name more;
    // the least recently used listings go first.
    explicit FolderNameCache(std::size_t maxNames) : maxNames_(maxNames) {}

    // The listing of folder when it was scanned under exactly these stamps; nothing otherwise.
    // A hit makes the listing the most recently used.
    const FolderListing* Find(const std::string& folder, const FolderStamps& stamps);

    // Keeps listing as folder's, scanned after its stamps were read at readTimeNs (wall clock,
    // read before the stamps), in place of any listing it had. Not kept when the stamps were
    // too recent to be told apart from a later change, or when the listing alone is larger
    // than the whole cache.
    void Store(const std::string& folder, const FolderStamps& stamps, std::int64_t readTimeNs, FolderListing listing);

    // Forgets every listing.
    void Clear();

    // The names kept, folders counted as above.
    std::size_t names() const { return names_; }
    std::size_t folders() const { return byFolder_.size(); }

    // True when a change made after readTimeNs is sure to give the folder other stamps than
    // these. A file system that keeps whole seconds (or coarser) is recognised by stamps
    // without sub-millisecond digits and is given a margin longer than its tick.
    static bool StampsSettled(const FolderStamps& stamps, std::int64_t readTimeNs);

private:
    struct Slot {
        std::string folder;
        FolderStamps stamps;
        FolderListing listing;
    };
    void Evict(std::list<Slot>::iterator slot);

    std::size_t maxNames_;
    std::size_t names_ = 0;
    std::list<Slot> slots_;  // most recently used first
    std::unordered_map<std::string, std::list<Slot>::iterator> byFolder_;
};

} // namespace vserver::platform
