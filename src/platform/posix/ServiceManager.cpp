#include "platform/ServiceManager.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

extern char** environ;

namespace vserver::platform {

namespace {

constexpr const char* kSystemUnitFolder = "/etc/systemd/system";
// Where packages put their units: /usr/lib on a merged-/usr system, /lib on an older one.
constexpr const char* kPackageUnitFolders[] = {"/usr/lib/systemd/system", "/lib/systemd/system"};
// systemd creates this folder at boot; its presence is the documented test for "systemd runs".
constexpr const char* kSystemdRuntimeFolder = "/run/systemd/system";

std::string NonEmptyEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Unit files expand "%" specifiers and "$" variables everywhere in ExecStart and in most
// settings; doubling them keeps the text literal.
std::string EscapeUnitText(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '%' || c == '$') out += c;
        out += c;
    }
    return out;
}

// The program path as the first word of ExecStart: quoted (with C-style escapes) only when it
// holds characters that would otherwise split or change it.
std::string ExecWord(std::string_view path) {
    bool needsQuotes = path.find_first_of(" \t\"'\\;") != std::string_view::npos;
    std::string escaped = EscapeUnitText(path);
    if (!needsQuotes) return escaped;
    std::string out = "\"";
    for (char c : escaped) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

SysResult WriteWholeFile(const std::string& path, std::string_view text) {
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return SysResult::Failure("open", errno);
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return SysResult::Failure("write", error);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return SysResult::Failure("close", error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return SysResult::Failure("rename", error);
    }
    return SysResult::Ok();
}

} // namespace

std::string ServiceUnitText(const ServiceDefinition& definition) {
    std::string exec = ExecWord(definition.executablePath);
    if (!definition.arguments.empty()) {
        exec += ' ';
        exec += EscapeUnitText(definition.arguments);
    }
    std::string text = "[Unit]\nDescription=";
    text += EscapeUnitText(definition.displayName);
    text += "\nAfter=network.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=";
    text += exec;
    text += "\nRestart=on-failure\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n";
    return text;
}

// The manager counts as open when systemd runs (or a unit folder is named for tests) and this
// process may write units, as opening the original manager needs full access.
std::optional<ServiceManager> ServiceManager::Open() {
    std::string systemctl = NonEmptyEnvironment("VSERVER_SYSTEMCTL");
    if (systemctl.empty()) systemctl = "systemctl";
    std::string folder = NonEmptyEnvironment("VSERVER_SYSTEMD_UNIT_DIR");
    if (folder.empty()) {
        struct stat st{};
        if (::stat(kSystemdRuntimeFolder, &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
        folder = kSystemUnitFolder;
    }
    if (::access(folder.c_str(), W_OK) != 0) return std::nullopt;
    return ServiceManager(folder, systemctl);
}

bool ServiceManager::IsPackaged(const std::string& name) {
    const std::string unit = "/" + name + ".service";
    struct stat st{};
    std::string testFolder = NonEmptyEnvironment("VSERVER_SYSTEMD_PACKAGE_UNIT_DIR");
    if (!testFolder.empty() || !NonEmptyEnvironment("VSERVER_SYSTEMD_UNIT_DIR").empty()) {
        return !testFolder.empty() && ::stat((testFolder + unit).c_str(), &st) == 0;
    }
    for (const char* folder : kPackageUnitFolders) {
        if (::stat((folder + unit).c_str(), &st) == 0) return true;
    }
    return false;
}

std::string ServiceManager::UnitPath(const std::string& name) const {
    return unitFolder_ + "/" + name + ".service";
}

bool ServiceManager::IsInstalled(const std::string& name) const {
    struct stat st{};
    return ::lstat(UnitPath(name).c_str(), &st) == 0;
}

SysResult ServiceManager::Create(const ServiceDefinition& definition) const {
    std::string path = UnitPath(definition.name);
    SysResult written = WriteWholeFile(path, ServiceUnitText(definition));
    if (!written) return written;
    SysResult enabled = RunSystemctl("enable", definition.name);
    if (!enabled) ::unlink(path.c_str());
    return enabled;
}

SysResult ServiceManager::OpenForRemoval(const std::string& name) const {
    struct stat st{};
    if (::lstat(UnitPath(name).c_str(), &st) != 0) return SysResult::Failure("lstat", errno);
    if (::access(unitFolder_.c_str(), W_OK) != 0) return SysResult::Failure("access", errno);
    return SysResult::Ok();
}

SysResult ServiceManager::Stop(const std::string& name) const { return RunSystemctl("stop", name); }

SysResult ServiceManager::Delete(const std::string& name) const {
    SysResult disabled = RunSystemctl("disable", name);
    if (!disabled) return disabled;
    if (::unlink(UnitPath(name).c_str()) != 0 && errno != ENOENT) return SysResult::Failure("unlink", errno);
    // The manager forgets the removed unit at its next reload; a failure here leaves only a
    // stale entry in its memory, not an installed service.
    (void)RunSystemctl("daemon-reload", name);
    return SysResult::Ok();
}

// Runs "systemctl <verb> <name>.service" ("systemctl daemon-reload" without the unit) and
// waits for it. A non-zero exit is reported as a failure of the verb.
SysResult ServiceManager::RunSystemctl(const char* verb, const std::string& name) const {
    std::string unit = name + ".service";
    std::string program = systemctl_;
    std::string verbText = verb;
    std::vector<char*> argv{program.data(), verbText.data()};
    if (verbText != "daemon-reload") argv.push_back(unit.data());
    argv.push_back(nullptr);

    // The child must not inherit a mask that blocks the stop signals the caller may route into
    // its own event loop.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = -1;
    int spawned = ::posix_spawnp(&child, program.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return SysResult::Failure("posix_spawnp", spawned);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return SysResult::Failure("waitpid", errno);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return SysResult::Ok();
    return SysResult::Failure(verb, ECANCELED);
}

} // namespace vserver::platform
