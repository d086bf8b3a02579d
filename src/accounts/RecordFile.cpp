#include "accounts/RecordFile.h"

#include "formats/TextCase.h"
#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/RecordAppend.h"
#include "platform/SysResult.h"
#include "platform/SystemTraits.h"
#include "platform/common/PathText.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

namespace {

// path with its folder part as stored (in any capitals), for creating the file there.
std::string PathForCreation(const std::string& path) {
    std::string_view folder = platform::FolderPartOf(path);
    if (folder.empty()) return path;
    auto stored = platform::ResolveExisting(folder);
    if (!stored) return path;
    std::string out = *stored;
    if (out.back() != platform::kPathSeparator) out.push_back(platform::kPathSeparator);
    out.append(platform::LastComponentOf(path));
    return out;
}

// How an append goes about the file's lock, and where its sync is left (nowhere: synced now).
struct AppendMode {
    platform::UnsyncedWrite* unsynced = nullptr;
    platform::LockWait wait = platform::LockWait::Bounded;
};

// Whether an append that would not wait failed only because another holder had the lock (and
// so wrote nothing).
bool FoundBusy(const platform::SysResult& result, AppendMode mode) {
    return mode.wait == platform::LockWait::None && platform::IsLockBusy(result);
}

std::string OpenFailure(const std::string& path) { return "Unable to open file: " + platform::UpperCase(path); }

platform::SysResult Append(const std::string& path, std::string_view text, platform::AppendOpen how, AppendMode mode) {
    if (mode.unsynced == nullptr) return platform::AppendNulTerminated(path, text, how, mode.wait);
    return platform::AppendNulTerminatedUnsynced(path, text, how, mode.wait, *mode.unsynced);
}

AppendOutcome AppendToNewFile(std::string_view text, const std::string& path, std::string* failure, AppendMode mode) {
    auto appended = Append(PathForCreation(path), text, platform::AppendOpen::CreateIfMissing, mode);
    if (appended) return AppendOutcome::Stored;
    if (FoundBusy(appended, mode)) return AppendOutcome::Busy;
    *failure = "Unable to create file: " + path;
    return AppendOutcome::Failed;
}

// The append itself; a failure's service-log line goes to *failure (empty when there is none).
AppendOutcome Store(std::string_view text, const std::string& path, std::string* failure, AppendMode mode) {
    failure->clear();
    auto found = platform::FindEntry(path);
    if (!found) return AppendToNewFile(text, path, failure, mode);

    const std::string upperPath = platform::UpperCase(path);
    std::string fullPath = platform::FullPathForm(platform::FolderPartOf(path));
    if (fullPath.back() != platform::kPathSeparator) fullPath.push_back(platform::kPathSeparator);
    fullPath.append(platform::LastComponentOf(found->path));
    if (platform::UpperCase(fullPath) == upperPath && found->readOnly && !platform::ClearReadOnly(found->path)) {
        return AppendOutcome::Failed;
    }
    // The append goes to the name just found, so the path is not looked up again.
    auto appended = Append(found->path, text, platform::AppendOpen::ExistingOnly, mode);
    if (appended) return AppendOutcome::Stored;
    if (FoundBusy(appended, mode)) return AppendOutcome::Busy;
    *failure = OpenFailure(path);
    return AppendOutcome::Failed;
}

// Store for a file that must stay in its own folder: found and appended to through that
// folder's handle, a link in the file's place followed only to another entry of the folder.
AppendOutcome StoreInFolder(std::string_view text, const std::string& path, std::string* failure, AppendMode mode) {
    failure->clear();
    const std::string folder = platform::FullPathForm(platform::FolderPartOf(path));
    platform::PlaceBeneath place = platform::FindBeneath(folder, platform::LastComponentOf(path));
    const bool found = place.found();
    if (found && place.readOnly && !platform::ClearReadOnly(place)) return AppendOutcome::Failed;
    auto appended = platform::AppendNulTerminated(place, text, found ? platform::AppendOpen::ExistingOnly
                                                                      : platform::AppendOpen::CreateIfMissing,
                                                  mode.wait, mode.unsynced);
    if (appended) return AppendOutcome::Stored;
    if (FoundBusy(appended, mode)) return AppendOutcome::Busy;
    const bool created = !found && place.outcome != platform::PlaceBeneath::Outcome::Outside;
    *failure = created ? "Unable to create file: " + path : OpenFailure(path);
    return AppendOutcome::Failed;
}

AppendOutcome StoreAndReport(std::string_view text, const std::string& path, AppendMode mode) {
    std::string failure;
    AppendOutcome outcome = Store(text, path, &failure, mode);
    if (!failure.empty()) settings::WriteServiceLog(failure);
    return outcome;
}

} // namespace

bool AppendRecord(std::string_view text, const std::string& path, platform::UnsyncedWrite* unsynced) {
    return StoreAndReport(text, path, {unsynced}) == AppendOutcome::Stored;
}

bool AppendRecord(std::string_view text, const std::string& path, std::string* failure) {
    return Store(text, path, failure, {}) == AppendOutcome::Stored;
}

bool AppendRecordInFolder(std::string_view text, const std::string& path, std::string* failure) {
    return StoreInFolder(text, path, failure, {}) == AppendOutcome::Stored;
}

AppendOutcome TryAppendRecord(std::string_view text, const std::string& path, platform::UnsyncedWrite& unsynced) {
    return StoreAndReport(text, path, {&unsynced, platform::LockWait::None});
}

void ReportHeldRecordFile(const std::string& path) { settings::WriteServiceLog(OpenFailure(path)); }

} // namespace vserver::accounts
