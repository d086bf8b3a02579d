#include "FolderNames.h"

#include <windows.h>

#include <cstdint>
#include <unordered_map>

#include "BackendTraits.h"
#include "WindowsFiles.h"
#include "formats/CodePage.h"
#include "formats/TextCase.h"
#include "platform/common/FolderNameCache.h"
#include "platform/common/PathText.h"

namespace vserver::platform::files {

namespace {

// Folder listings kept over all folders, as many as the POSIX backend keeps: enough for a
// users folder of tens of thousands of accounts and the home folders in use.
constexpr std::size_t kMaxListedNames = 100'000;
// A FILETIME counts 100 ns steps from 1601; the stamps count nanoseconds from 1970.
constexpr std::int64_t kTicksFrom1601To1970 = 116'444'736'000'000'000;

FolderNameCache& Listings() {
    static FolderNameCache cache(kMaxListedNames);
    return cache;
}

std::int64_t Nanoseconds(const FILETIME& time) {
    const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    return (static_cast<std::int64_t>(ticks) - kTicksFrom1601To1970) * 100;
}

// The system's clock lags the real time by up to one tick, so the time read never postdates
// stamps read after it.
std::int64_t WallClockNs() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return Nanoseconds(now);
}

// Whether listings of folders on the drive of folder may be kept: only on this machine's own
// fixed drives, whose stamps it keeps itself. A share's stamps may come from another machine,
// or from a cache of them, and a path without a drive ("\x", the working folder) may name
// another folder tomorrow. The system is asked once a drive.
bool ListingsReliable(std::string_view folder) {
    if (PathRootLength(folder) != 3 || folder[1] != ':') return false;
    static std::unordered_map<char, bool> byDrive;
    const char drive = UpperCase(folder[0]);
    auto [known, added] = byDrive.try_emplace(drive, false);
    if (added) {
        const char root[] = {drive, ':', '\\', '\0'};
        const UINT type = ::GetDriveTypeA(root);
        known->second = type == DRIVE_FIXED || type == DRIVE_RAMDISK;
    }
    return known->second;
}

// A name the system takes literally, so that an entry it finds is one its listing shows under
// the same name in other capitals, and a name its listing lacks finds nothing. Not so: wildcards
// (the system's "<", ">" and '"' too), streams (":"), short forms ("~"), trailing dots and
// spaces (which the system drops), and letters beyond ASCII, whose capitals the system's rules
// may tell otherwise than the code page's.
bool TakenLiterally(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || !IsAscii(name)) return false;
    if (name.find_first_of("*?<>\":~") != std::string_view::npos) return false;
    return name.back() != '.' && name.back() != ' ';
}

// The stamps of the folder at path, read without opening it; false when it is not a folder,
// or is a reparse point, whose own stamps need not change with what it leads to. A drive's root
// ("X:\") is the root of what the drive leads to, never a link of its own, though Wine marks the
// roots of its drives (links to Linux folders) as reparse points all the same.
bool ReadStamps(const std::string& path, FolderStamps& stamps) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    const DWORD attributes = data.dwFileAttributes;
    const bool root = path.size() == PathRootLength(path);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !root) return false;
    stamps.modifiedNs = Nanoseconds(data.ftLastWriteTime);
    // Windows tells a folder's identity only through an open handle. Its creation time stands
    // in for it: a folder removed and made again, or another moved into its place, has its own.
    stamps.changedNs = Nanoseconds(data.ftCreationTime);
    // The fields Windows has no counterpart for hold what else it tells of the folder.
    stamps.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    stamps.links = attributes;
    return true;
}

EntryKind KindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
}

// Every name in folder; false when the listing could not be read to its end.
bool ListNames(const std::string& folder, FolderListing& listing) {
    DirectorySearch search(folder);
    while (const WIN32_FIND_DATAA* entry = search.Next()) {
        std::string_view name = entry->cFileName;
        if (name != "." && name != "..") listing.Add(entry->cFileName, KindOf(entry->dwFileAttributes));
    }
    return search.open() && search.error() == ERROR_NO_MORE_FILES;
}

std::optional<std::string> NameIn(const FolderListing& listing, std::string_view name) {
    const ListedEntry* entry = listing.Find(name);
    return entry != nullptr ? std::optional<std::string>(entry->name) : std::nullopt;
}

// The system's own answer, from a search for name alone.
std::optional<std::string> SearchedName(const std::string& folder, std::string_view name) {
    auto found = FindStoredEntry(folder, name);
    return found ? std::optional<std::string>(found->cFileName) : std::nullopt;
}

} // namespace

std::optional<std::string> StoredNameIn(const std::string& folder, std::string_view name) {
    if (!TakenLiterally(name) || !ListingsReliable(folder)) return SearchedName(folder, name);
    const std::int64_t readTimeNs = WallClockNs();
    FolderStamps stamps;
    if (!ReadStamps(folder, stamps)) return SearchedName(folder, name);
    if (const FolderListing* kept = Listings().Find(folder, stamps)) return NameIn(*kept, name);
    // Names read under stamps too recent to be told apart from the next change are not kept,
    // and listing a folder for one lookup costs more than searching it for the name.
    if (!FolderNameCache::StampsSettled(stamps, readTimeNs)) return SearchedName(folder, name);
    FolderListing listing;
    if (!ListNames(folder, listing)) return SearchedName(folder, name);
    std::optional<std::string> found = NameIn(listing, name);
    Listings().Store(folder, stamps, readTimeNs, std::move(listing));
    return found;
}

} // namespace vserver::platform::files
