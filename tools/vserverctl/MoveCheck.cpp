#include "vserverctl/MoveCheck.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>

#include "formats/CodePage.h"
#include "formats/TextCase.h"
#include "platform/TemporaryFile.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Installation.h"

namespace vserver::ctl {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPreferenceSuffix = "VantorelSettings.vts";

// A name as the file system stores it: UTF-8 on Windows, the bytes themselves elsewhere.
std::string StoredName(const fs::path& path) {
#ifdef _WIN32
    const std::u8string utf8 = path.filename().u8string();
    return std::string(utf8.begin(), utf8.end());
#else
    return path.filename().native();
#endif
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder + name;
    return folder + "/" + name;
}

// The name as the clients write it, and whether that form holds all of it.
struct ClientForm {
    std::string text;
    bool utf8 = true;
    bool whole = true;
};

ClientForm ClientFormOf(std::string_view name) {
    ClientForm form;
    if (!platform::Utf8ToCodePage(name, form.text)) {
        form.utf8 = false;
        form.text = std::string(name);
        return form;
    }
    form.whole = platform::CodePageToUtf8(form.text) == name;
    return form;
}

bool IsReservedDevice(std::string_view name) {
    const std::string base = platform::UpperCase(name.substr(0, name.find('.')));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::find(std::begin(kDevices), std::end(kDevices), base) != std::end(kDevices)) return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9';
}

// The writer's part after a temporary's kind ("<pid>-<n>"), when name has the form of one of
// the temporaries the server makes: ".<name>.tmp-", ".<name>.new-" or ".<name>.deleted-".
std::optional<std::string_view> TemporaryRest(std::string_view name) {
    if (name.size() < 2 || name.front() != '.') return std::nullopt;
    for (std::string_view kind : {".tmp-", ".new-", ".deleted-"}) {
        const std::size_t at = name.rfind(kind);
        if (at != std::string_view::npos && at > 1) return name.substr(at + kind.size());
    }
    return std::nullopt;
}

void Add(std::vector<MoveFinding>& out, std::string kind, const std::string& path, std::string detail) {
    out.push_back({std::move(kind), path, std::move(detail)});
}

// An account's home folder without its preference file, which the server copies from the
// master file when it makes an account.
void CheckAccount(const std::string& home, const std::string& name, const std::vector<std::string>& entries,
                  std::vector<MoveFinding>& out) {
    const std::string wanted = platform::UpperCase(ClientFormOf(name).text + std::string(kPreferenceSuffix));
    for (const std::string& entry : entries) {
        if (platform::UpperCase(ClientFormOf(entry).text) == wanted) return;
    }
    Add(out, "no-preference-file", home,
        "the account has no " + Printable(name) + std::string(kPreferenceSuffix) + ": its client starts from the defaults");
}

struct Listing {
    std::vector<std::string> names;  // as stored
    std::vector<fs::path> paths;
    std::vector<bool> folders;
};

bool List(const fs::path& folder, const std::string& shown, Listing& listing, std::vector<MoveFinding>& out) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        listing.names.push_back(StoredName(it->path()));
        listing.paths.push_back(it->path());
        std::error_code ignored;
        listing.folders.push_back(it->is_directory(ignored) && !it->is_symlink(ignored));
    }
    if (!error) return true;
    Add(out, "unreadable", shown, "the folder cannot be read: " + error.message());
    return false;
}

// The folder's names, and below it every folder's, as far as the depth of an installation goes.
// Links are not followed: what they lead to is checked where it lies.
void CheckTree(const fs::path& folder, const std::string& shown, bool usersFolder, std::vector<MoveFinding>& out,
               int depth) {
    Listing listing;
    if (!List(folder, shown, listing, out)) return;
    CheckNames(shown, listing.names, out);
    for (std::size_t i = 0; i < listing.names.size(); ++i) {
        const std::string& name = listing.names[i];
        const std::string path = Join(shown, name);
        if (auto rest = TemporaryRest(name); rest && platform::TemporaryWriterGone(*rest)) {
            Add(out, "stale-temporary", path, "left by a server that stopped while writing: remove it");
            continue;
        }
        if (!listing.folders[i] || depth > 32) continue;
        if (usersFolder && name.front() != '.') {
            Listing home;
            if (List(listing.paths[i], path, home, out)) CheckAccount(path, name, home.names, out);
        }
        const bool users = depth == 0 && platform::UpperCase(name) == "USERS";
        CheckTree(listing.paths[i], path, users, out, depth + 1);
    }
}

} // namespace

std::string WindowsRefusal(std::string_view name) {
    if (name.empty()) return {};
    if (name.back() == '.' || name.back() == ' ') return "it ends in a dot or a blank";
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "it holds a control character";
        if (std::string_view("<>:\"|?*\\").find(c) != std::string_view::npos) {
            return std::string("it holds the character ") + c;
        }
    }
    if (IsReservedDevice(name)) return "it is the name of a device";
    return {};
}

void CheckNames(const std::string& folder, const std::vector<std::string>& names, std::vector<MoveFinding>& out) {
    std::map<std::string, std::string> byCapitals;
    for (const std::string& name : names) {
        const std::string path = Join(folder, name);
        const ClientForm form = ClientFormOf(name);
        if (!form.utf8) {
            Add(out, "not-utf8", path,
                "an earlier version stored the name's code-page bytes: the server finds it, but copies to "
                "Windows and most tools mangle it; rename it to its UTF-8 form");
        } else if (!form.whole) {
            Add(out, "outside-code-page", path,
                "the name holds characters the clients' code page lacks: listed with '?', it cannot be reached");
        }
        if (std::string why = WindowsRefusal(name); !why.empty()) {
            Add(out, "windows-refuses", path, "Windows cannot hold this name: " + why);
        }
        auto [other, added] = byCapitals.try_emplace(platform::UpperCase(form.text), name);
        if (!added) {
            Add(out, "differ-in-capitals", path,
                "differs from " + Printable(other->second) + " only in capitals: Windows cannot hold both, and the server "
                "finds only one");
        }
    }
}

std::vector<MoveFinding> CheckMasterFolder(const std::string& master) {
    std::vector<MoveFinding> out;
    CheckTree(fs::path(master), master, false, out, 0);
    return out;
}

std::string Printable(std::string_view path) {
    std::string out;
    std::size_t at = 0;
    while (at < path.size()) {
        std::size_t end = at + 1;
        while (end < path.size() && (static_cast<unsigned char>(path[end]) & 0xC0) == 0x80) ++end;
        std::string ignored;
        const std::string_view piece = path.substr(at, end - at);
        if (static_cast<unsigned char>(piece[0]) < 0x80 || platform::Utf8ToCodePage(piece, ignored)) {
            out.append(piece);
        } else {
            static const char kHex[] = "0123456789ABCDEF";
            for (unsigned char c : piece) out.append({'\\', 'x', kHex[c >> 4], kHex[c & 15]});
        }
        at = end;
    }
    return out;
}

} // namespace vserver::ctl

namespace vserver::ctl {

int RunCheckMove(Session& session) {
    std::string master;
    if (!session.args.empty()) {
        master = session.args[0];
    } else if (auto configured = ReadInstallation().masterPath; configured && !configured->empty()) {
        master = *configured;
    } else {
        return session.report.Fail(kExitUsage, "no MasterPath is set: name the folder to check");
    }
    std::error_code error;
    if (!fs::is_directory(fs::path(master), error)) {
        return session.report.Fail(kExitUsage, master + ": no such folder");
    }
    const std::vector<MoveFinding> findings = CheckMasterFolder(master);
    JsonWriter& json = session.report.json();
    json.Key("folder").String(Printable(master)).Key("findings").BeginArray();
    for (const MoveFinding& finding : findings) {
        json.BeginObject().Key("kind").String(finding.kind).Key("path").String(Printable(finding.path));
        json.Key("detail").String(finding.detail).EndObject();
        session.report.Line(finding.kind + ": " + Printable(finding.path) + ": " + finding.detail);
    }
    json.EndArray();
    session.report.Line(findings.empty() ? Printable(master) + ": nothing needs attention"
                                         : std::to_string(findings.size()) + " to look at in " + Printable(master));
    return session.report.Answer(findings.empty() ? kExitOk : kExitFalse);
}

} // namespace vserver::ctl
