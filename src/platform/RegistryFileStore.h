#pragma once
// The registry store kept in a registry file: readings share one parsed copy of the file for as
// long as the file's stamps show it unchanged, and every change is one locked rewrite of the
// file (RegistryFile::Update), so an edit by another process shows at the next reading and two
// writers never lose each other's values.

#include <memory>
#include <optional>
#include <string>

#include "platform/RegistryFile.h"
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

private:
    struct Parsed {
        RegistryFile registry;
        RegistryFile::Stamps stamps;
    };

    std::string path_;
    mutable std::optional<Parsed> parsed_;
};

} // namespace vserver::platform
