#include "platform/common/RegistryFileStore.h"

#include <cerrno>
#include <utility>

#include "formats/TextCase.h"
#include "platform/BackendCalls.h"
#include "platform/DurableWrites.h"

namespace vserver::platform {
namespace {

class RegistryFileKey final : public RegistryKey {
public:
    RegistryFileKey(const RegistryFile* view, RegistryFile* edit, std::string_view path)
        : view_(view), edit_(edit), path_(path) {}

    std::optional<std::string> ReadString(std::string_view name) const override {
        return view_->ReadString(path_, name);
    }

    bool HasValue(std::string_view name) const override {
        const RegistryFile::Key* key = view_->FindKey(path_);
        if (key == nullptr) return false;
        for (const RegistryFile::Value& value : key->values) {
            if (EqualNoCase(value.name, name)) return true;
        }
        return false;
    }

    std::vector<std::string> ValueNames() const override {
        std::vector<std::string> names;
        if (const RegistryFile::Key* key = view_->FindKey(path_)) {
            for (const RegistryFile::Value& value : key->values) names.push_back(value.name);
        }
        return names;
    }

    bool WriteString(std::string_view name, std::string_view text) override {
        // A line break cannot stand in a name of the file's text form.
        if (edit_ == nullptr || name.find_first_of("\r\n") != std::string_view::npos) return false;
        edit_->WriteString(path_, name, text);
        return true;
    }

    bool DeleteValue(std::string_view name) override { return edit_ != nullptr && edit_->DeleteValue(path_, name); }

private:
    const RegistryFile* view_;
    RegistryFile* edit_;
    std::string path_;
};

} // namespace

std::unique_ptr<RegistryKey> RegistryFileKeys::OpenKey(std::string_view path, SysResult* failure) {
    if (!view_->HasKey(path)) {
        if (failure) *failure = SysResult::Failure("open key", ENOENT);
        return nullptr;
    }
    return std::make_unique<RegistryFileKey>(view_, edit_, path);
}

std::unique_ptr<RegistryKey> RegistryFileKeys::CreateKey(std::string_view path) {
    if (edit_ == nullptr) return nullptr;
    edit_->CreateKey(path);
    return std::make_unique<RegistryFileKey>(view_, edit_, path);
}

bool RegistryFileKeys::DeleteKeyTree(std::string_view path) { return edit_ != nullptr && edit_->DeleteKeyTree(path); }

const RegistryFile& RegistryFileStore::Current(std::vector<std::string>* problems, SysResult& result) const {
    result = SysResult::Ok();
    RegistryFileStamps now;
    if (parsed_ && ReadRegistryFileStamps(path_, now) && StillCurrent(now)) return parsed_->registry;
    RegistryFile registry;
    RegistryFileStamps stamps;
    result = LoadRegistryFile(path_, registry, problems, &stamps);
    // A file that could not be read is read again next time, whatever its stamps say.
    if (!result) stamps = RegistryFileStamps();
    parsed_ = Parsed{std::move(registry), stamps, result && stamps.settled, ++versions_};
    return parsed_->registry;
}

bool RegistryFileStore::StillCurrent(const RegistryFileStamps& now) const {
    if (OwnWriteInPlace(now)) return true;
    // Another file, size or modification time: the content has changed.
    if (!now.SameData(parsed_->stamps)) return false;
    if (parsed_->confirmed && now.SameVersion(parsed_->stamps)) return true;
    // Changed moments ago, where an edit of the same size within the file system's time
    // granularity leaves the same stamps, or only its change time moved (a rename over it, new
    // permissions, or times set back after an edit): the bytes decide. Reading them costs far
    // less than parsing them.
    std::string bytes;
    RegistryFileStamps before;
    RegistryFileStamps after;
    if (!backend::ReadRegistryFileBytes(path_, bytes, before, after)) return false;
    // The own write may have been renamed into place since the stamps were taken.
    if (OwnWriteInPlace(before) && OwnWriteInPlace(after)) return true;
    if (!before.SameData(now) || !after.SameData(now) || bytes != parsed_->registry.bytes()) return false;
    parsed_->stamps = before;
    parsed_->confirmed = before.settled;
    return true;
}

// This process's own write, in place but not yet durable: readings go on seeing the values it
// replaces until its completion.
bool RegistryFileStore::OwnWriteInPlace(const RegistryFileStamps& now) const {
    return inFlight_ && inFlight_->version == parsed_->version && now.exists && now.SameData(inFlight_->written);
}

SysResult RegistryFileStore::Read(const std::function<void(RegistryKeys&)>& read,
                                  std::vector<std::string>* problems) const {
    SysResult result = SysResult::Ok();
    RegistryFileKeys keys(Current(problems, result));
    read(keys);
    return result;
}

SysResult RegistryFileStore::Update(const std::function<bool(RegistryKeys&)>& change, bool waitForLock) {
    auto apply = [&change](RegistryFile& file) {
        RegistryFileKeys keys(file);
        return change(keys);
    };
    return waitForLock ? UpdateRegistryFile(path_, apply) : TryUpdateRegistryFile(path_, apply);
}

// On the loop: the lock, a check of the parsed copy against the file, and the new content in a
// temporary file, which costs a copy of the bytes and no parsing. The sync and the rename follow
// on the sync worker, which releases the lock once the new file is in place.
SysResult RegistryFileStore::WriteStringDurably(std::string_view key, std::string_view name, std::string_view text,
                                                SyncWorker& syncs, std::function<void(SysResult)> done) {
    if (inFlight_) return LockBusy();
    backend::HeldRegistryLock lock;
    if (SysResult locked = lock.Take(path_, false); !locked) return locked;
    SysResult loaded = SysResult::Ok();
    const RegistryFile& current = Current(nullptr, loaded);
    if (!loaded) return loaded;
    if (SysResult writable = RegistryFileWritable(current); !writable) {
        // Another program writing the file without its lock is waited for like a lock holder.
        return writable.error() == EAGAIN ? LockBusy() : writable;
    }
    UnsyncedWrite unsynced;
    if (SysResult staged = StageReplacement(lock.file(), current.BytesWithString(key, name, text), unsynced); !staged) {
        return staged;
    }
    RegistryFileStamps written;
    (void)ReadRegistryFileStamps(unsynced.temporary.empty() ? lock.file() : unsynced.temporary, written);
    unsynced.lock = lock.HandOn();
    inFlight_ = InFlight{written, parsed_->version, std::string(key), std::string(name), std::string(text)};
    syncs.Submit(std::move(unsynced), [this, done = std::move(done)](SysResult result) {
        FinishWrite(result);
        done(result);
    });
    return SysResult::Ok();
}

// The parsed copy takes the written value only when it is still the copy the write was made
// from and the file is still the one written; otherwise the next reading reads the file anew.
void RegistryFileStore::FinishWrite(const SysResult& result) {
    const InFlight write = std::move(*inFlight_);
    inFlight_.reset();
    RegistryFileStamps now;
    if (!result || !parsed_ || parsed_->version != write.version || !ReadRegistryFileStamps(path_, now) ||
        !now.SameData(write.written)) {
        parsed_.reset();
        return;
    }
    parsed_->registry.WriteString(write.key, write.name, write.text);
    if (parsed_->registry.bytes().size() != now.size) {
        parsed_.reset();
        return;
    }
    parsed_->stamps = now;
    parsed_->confirmed = false;
    parsed_->version = ++versions_;
}

std::unique_ptr<RegistryStore> OpenRegistryFileStore(const std::string& path) {
    return std::make_unique<RegistryFileStore>(path);
}

} // namespace vserver::platform
