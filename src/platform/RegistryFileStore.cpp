#include "platform/RegistryFileStore.h"

#include <cerrno>
#include <utility>

#include "platform/TextCase.h"

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

SysResult RegistryFileStore::Read(const std::function<void(RegistryKeys&)>& read,
                                  std::vector<std::string>* problems) const {
    RegistryFile::Stamps now;
    if (parsed_ && parsed_->stamps.settled && RegistryFile::ReadStamps(path_, now) &&
        now.SameVersion(parsed_->stamps)) {
        RegistryFileKeys keys(std::as_const(parsed_->registry));
        read(keys);
        return SysResult::Ok();
    }
    RegistryFile registry;
    RegistryFile::Stamps stamps;
    const SysResult loaded = RegistryFile::Load(path_, registry, problems, &stamps);
    // A file that could not be read is read again next time, whatever its stamps say.
    if (!loaded) stamps = RegistryFile::Stamps();
    parsed_ = Parsed{std::move(registry), stamps};
    RegistryFileKeys keys(std::as_const(parsed_->registry));
    read(keys);
    return loaded;
}

SysResult RegistryFileStore::Update(const std::function<bool(RegistryKeys&)>& change, bool waitForLock) {
    auto apply = [&change](RegistryFile& file) {
        RegistryFileKeys keys(file);
        return change(keys);
    };
    return waitForLock ? RegistryFile::Update(path_, apply) : RegistryFile::TryUpdate(path_, apply);
}

std::unique_ptr<RegistryStore> OpenRegistryFileStore(const std::string& path) {
    return std::make_unique<RegistryFileStore>(path);
}

} // namespace vserver::platform
