#pragma once
// The registry store kept in a registry file: readings share one parsed copy of the file for as
// long as the file is unchanged, and every change is one locked rewrite of the file, so an edit
// by another process shows at the next reading and two writers never lose each other's values.
// The server's own durable writes keep the parsed copy: it knows what it wrote, so the copy is
// changed in step instead of being read again.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/RegistryFileIo.h"
#include "platform/RegistryStore.h"

namespace vserver::platform {

// The keys of a parsed registry file. Made over a const file they refuse every write.
class RegistryFileKeys final : public RegistryKeys {
public:
    explicit RegistryFileKeys(const RegistryFile& file) : view_(&file) {}
    explicit RegistryFileKeys(RegistryFile& file) : view_(&file), edit_(&file) {}

    std::unique_ptr<RegistryKey> OpenKey(std::string_view path, SysResult* failure = nullptr) override;
    std::unique_ptr<RegistryKey> CreateKey(std::string_view path) override;
    bool DeleteKeyTree(std::string_view path) override;
    std::optional<std::string> Doubt(std::string_view path) const override { return view_->DoubtAbout(path); }

private:
    const RegistryFile* view_;
    RegistryFile* edit_ = nullptr;
};

class RegistryFileStore final : public RegistryStore {
public:
    explicit RegistryFileStore(std::string path) : path_(std::move(path)) {}

    std::string Name() const override { return "registry file " + path_; }
    std::string FilePath() const override { return path_; }
    SysResult Read(const std::function<void(RegistryKeys&)>& read,
                   std::vector<std::string>* problems = nullptr) const override;
    SysResult Update(const std::function<bool(RegistryKeys&)>& change, bool waitForLock = true) override;
    SysResult WriteStringDurably(std::string_view key, std::string_view name, std::string_view text,
                                 SyncWorker& syncs, std::function<void(SysResult)> done) override;

private:
    struct Parsed {
        RegistryFile registry;
        RegistryFileStamps stamps;
        // The content was known to be the file's while its stamps were settled: equal stamps
        // now mean an unchanged file. Until then the bytes are compared.
        bool confirmed = false;
        std::uint64_t version = 0;
    };
    // A durable write between its start and its completion.
    struct InFlight {
        RegistryFileStamps written;  // the new file's, as it was written
        std::uint64_t version = 0;     // of the parsed copy it was made from
        std::string key;
        std::string name;
        std::string text;
    };

    // The parsed copy of the file as it is now, read again when the file changed; result is
    // the failure of a reading that found the file unreadable.
    const RegistryFile& Current(std::vector<std::string>* problems, SysResult& result) const;
    bool StillCurrent(const RegistryFileStamps& now) const;
    bool OwnWriteInPlace(const RegistryFileStamps& now) const;
    void FinishWrite(const SysResult& result);

    std::string path_;
    mutable std::optional<Parsed> parsed_;
    mutable std::uint64_t versions_ = 0;
    std::optional<InFlight> inFlight_;
};

} // namespace vserver::platform
