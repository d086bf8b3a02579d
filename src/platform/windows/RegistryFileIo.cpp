// Reading and replacing the registry file on Windows: the same file, format and sidecar lock
// as on other systems.

#include <cerrno>

#include "SidecarLock.h"
#include "platform/FileSystem.h"
#include "platform/RegistryFile.h"

namespace vserver::platform {

SysResult RegistryFile::Load(const std::string& path, RegistryFile& out, std::vector<std::string>* problems) {
    out = RegistryFile();
    std::string text;
    OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return SysResult::Ok();
        return SysResult::Failure("CreateFileA", ErrnoFromWin32(code), static_cast<long>(code));
    }
    char buffer[16384];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return LastWin32Failure("ReadFile");
        if (got == 0) break;
        text.append(buffer, got);
    }
    out = Parse(text, problems);
    return SysResult::Ok();
}

SysResult RegistryFile::Update(const std::string& path, const std::function<bool(RegistryFile&)>& change) {
    OwnedHandle lock;
    if (SysResult locked = LockSidecar(path, true, lock); !locked) return locked;
    RegistryFile current;
    std::vector<std::string> problems;
    if (SysResult loaded = Load(path, current, &problems); !loaded) return loaded;
    if (!problems.empty()) return SysResult::Failure("parse", EINVAL);
    if (!change(current)) return SysResult::Ok();
    return ReplaceFileContent(path, current.Serialize());
}

} // namespace vserver::platform
