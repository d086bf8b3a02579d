#include <gtest/gtest.h>

#include "platform/common/FolderNameCache.h"

namespace vserver::platform {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSecond = 1'000 * kMs;
// A moment with sub-millisecond digits, as fine-grained file systems stamp it.
constexpr std::int64_t kFineStamp = 1'700'000'000 * kSecond + 123'456'789;

FolderStamps Stamps(std::int64_t at = kFineStamp) {
    return FolderStamps{.device = 2049, .inode = 77, .modifiedNs = at, .changedNs = at, .size = 4096, .links = 3};
}

FolderListing ListingOf(std::initializer_list<const char*> names) {
    FolderListing listing;
    for (const char* name : names) listing.Add(name, EntryKind::File);
    return listing;
}

TEST(FolderListing, ExactNameFirstThenTheFirstMatchInScanOrder) {
    FolderListing listing;
    listing.Add("JSMITH", EntryKind::Folder);
    listing.Add("notes.TXT", EntryKind::File);
    listing.Add("jsmith", EntryKind::Link);
    listing.Add("\xC9" "COLE", EntryKind::Folder);  // É in the Western code page

    struct Case {
        const char* asked;
        const char* found;  // nullptr: nothing
    } cases[] = {
        {"jsmith", "jsmith"},      // exact, although an earlier entry matches in other capitals
        {"JSMITH", "JSMITH"},
        {"JSmith", "JSMITH"},      // no exact entry: the first match in scan order
        {"Notes.txt", "notes.TXT"},
        {"\xE9" "cole", "\xC9" "COLE"},
        {"jsmit", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        const ListedEntry* entry = listing.Find(c.asked);
        if (c.found == nullptr) {
            EXPECT_EQ(entry, nullptr) << c.asked;
        } else {
            ASSERT_NE(entry, nullptr) << c.asked;
            EXPECT_EQ(entry->name, c.found) << c.asked;
        }
    }
    EXPECT_EQ(listing.Find("jsmith")->kind, EntryKind::Link);
}

TEST(FolderNameCache, StampsTooRecentToBeDistinctAreNeverTrusted) {
    constexpr std::int64_t kCoarseStamp = 1'700'000'000 * kSecond;  // whole seconds only
    struct Case {
        std::int64_t stamp;
        std::int64_t readAfter;  // how long after the stamp the stamps were read
        bool settled;
    } cases[] = {
        {kFineStamp, 150 * kMs, true},
        {kFineStamp, 20 * kMs, false},    // within a few ticks of the clock
        {kFineStamp, -5 * kSecond, false}, // ahead of the clock: the clock was set back
        {kCoarseStamp, 150 * kMs, false}, // the same second may hold another change
        {kCoarseStamp, 2'500 * kMs, false}, // FAT keeps two-second steps
        {kCoarseStamp, 4 * kSecond, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FolderNameCache::StampsSettled(Stamps(c.stamp), c.stamp + c.readAfter), c.settled)
            << c.stamp << " read " << c.readAfter << " ns later";
    }
    // The later of the two stamps counts: a folder renamed just now has only a new change time.
    FolderStamps renamed = Stamps();
    renamed.changedNs += 10 * kSecond;
    EXPECT_FALSE(FolderNameCache::StampsSettled(renamed, kFineStamp + 10 * kSecond + 20 * kMs));

    FolderNameCache cache(100);
    cache.Store("/srv/Users", Stamps(), kFineStamp + 20 * kMs, ListingOf({"a"}));
    EXPECT_EQ(cache.Find("/srv/Users", Stamps()), nullptr);
}

TEST(FolderNameCache, AListingServesOnlyUnderTheStampsItWasScannedUnder) {
    const std::int64_t later = kFineStamp + kSecond;
    FolderNameCache cache(100);
    cache.Store("/srv/Users", Stamps(), later, ListingOf({"JSMITH"}));
    ASSERT_NE(cache.Find("/srv/Users", Stamps()), nullptr);
    EXPECT_EQ(cache.Find("/srv/Users", Stamps())->Find("jsmith")->name, "JSMITH");
    EXPECT_EQ(cache.Find("/srv/users", Stamps()), nullptr);  // keys are the stored spelling

    using Change = void (*)(FolderStamps&);
    Change changes[] = {
        [](FolderStamps& s) { s.device += 1; },         // another file system mounted there
        [](FolderStamps& s) { s.inode += 1; },          // the folder replaced by another
        [](FolderStamps& s) { s.modifiedNs += 1; },     // an entry added, removed or renamed
        [](FolderStamps& s) { s.changedNs += 1; },
        [](FolderStamps& s) { s.size += 4096; },
        [](FolderStamps& s) { s.links += 1; },          // a folder created inside
    };
    for (Change change : changes) {
        cache.Store("/srv/Users", Stamps(), later, ListingOf({"JSMITH"}));
        FolderStamps changed = Stamps();
        change(changed);
        EXPECT_EQ(cache.Find("/srv/Users", changed), nullptr);
        // A listing found stale is dropped, so even the old stamps no longer find it.
        EXPECT_EQ(cache.Find("/srv/Users", Stamps()), nullptr);
    }
    EXPECT_EQ(cache.names(), 0u);
}

TEST(FolderNameCache, MemoryStaysWithinItsBoundLeastRecentlyUsedFirst) {
    const std::int64_t later = kFineStamp + kSecond;
    FolderNameCache cache(10);  // each folder below weighs its 3 names + 1
    cache.Store("/a", Stamps(), later, ListingOf({"1", "2", "3"}));
    cache.Store("/b", Stamps(), later, ListingOf({"1", "2", "3"}));
    ASSERT_NE(cache.Find("/a", Stamps()), nullptr);  // /b is now the least recently used
    cache.Store("/c", Stamps(), later, ListingOf({"1", "2", "3"}));
    EXPECT_NE(cache.Find("/a", Stamps()), nullptr);
    EXPECT_EQ(cache.Find("/b", Stamps()), nullptr);
    EXPECT_NE(cache.Find("/c", Stamps()), nullptr);
    EXPECT_EQ(cache.names(), 8u);

    // Storing a folder again replaces its listing rather than adding to it.
    cache.Store("/c", Stamps(), later, ListingOf({"1"}));
    EXPECT_EQ(cache.names(), 6u);
    EXPECT_EQ(cache.folders(), 2u);

    // A listing larger than the whole cache is not kept, and keeps the others.
    cache.Store("/huge", Stamps(), later, ListingOf({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
    EXPECT_EQ(cache.Find("/huge", Stamps()), nullptr);
    EXPECT_EQ(cache.folders(), 2u);
}

} // namespace
} // namespace vserver::platform
