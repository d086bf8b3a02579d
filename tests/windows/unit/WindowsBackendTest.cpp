// What only the Windows backend has to get right: its path rules, the errno mapping of Win32
// and Winsock codes, the companion lock files, and the rules of a loop fed by socket messages
// (every message is a hint, a close may come with input still waiting, writability is ours
// to announce).

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <list>
#include <vector>
#include <string>

#include "AttributeQuery.h"
#include "NoticePosting.h"
#include "ServiceControlEntry.h"
#include "ServiceEvents.h"
#include "Win32Error.h"
#include "client/ProtocolClient.h"
#include "formats/TextCase.h"
#include "host/ServiceModule.h"
#include "platform/Beneath.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/FolderCheck.h"
#include "platform/InstanceLock.h"
#include "platform/LockedFile.h"
#include "platform/RecordAppend.h"
#include "platform/RegistryFileIo.h"
#include "platform/ServiceHost.h"
#include "platform/Socket.h"
#include "platform/TemporaryFile.h"
#include "platform/common/PathText.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using std::chrono::milliseconds;
using vserver::test::LockHolder;
using vserver::test::Names;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

TEST(WindowsPaths, RootsOfDrivesSharesAndTheCurrentDrive) {
    struct Case {
        const char* path;
        std::size_t root;
    };
    for (const Case& c : {Case{"C:\\Data", 3}, Case{"c:/Data", 3}, Case{"C:", 2}, Case{"\\\\srv\\share\\x", 12},
                          Case{"\\\\srv\\share", 11}, Case{"\\Data", 1}, Case{"Data\\x", 0}, Case{"", 0}}) {
        EXPECT_EQ(PathRootLength(c.path), c.root) << c.path;
    }
}

TEST(WindowsPaths, FullFormFolderPartsAndContainment) {
    EXPECT_EQ(CollapsePath("D:\\Data\\..\\..\\x\\.\\y\\", "C:\\"), "D:\\x\\y");
    EXPECT_EQ(CollapsePath("Users\\a", "D:\\Data"), "D:\\Data\\Users\\a");
    EXPECT_EQ(CollapsePath("\\\\srv\\share\\a\\..\\..", "C:\\"), "\\\\srv\\share\\");
    EXPECT_EQ(CollapsePath("D:/Data//Users", "C:\\"), "D:\\Data\\Users");
    EXPECT_EQ(FolderPartOf("C:\\a"), "C:\\");
    EXPECT_EQ(FolderPartOf("C:\\a\\b"), "C:\\a");
    EXPECT_EQ(LastComponentOf("C:\\a/b"), "b");

    // Containment ignores capitals, as the file system does.
    EXPECT_TRUE(IsStrictlyInside("C:\\DATA\\Users\\a", "c:\\data\\users"));
    EXPECT_FALSE(IsStrictlyInside("C:\\Data\\UsersX\\a", "C:\\Data\\Users"));
    EXPECT_FALSE(IsStrictlyInside("C:\\Data\\Users", "C:\\data\\users"));
    EXPECT_TRUE(IsStrictlyInside("C:\\a", "C:\\"));
    EXPECT_FALSE(IsStrictlyInside("D:\\a", "C:\\"));

    // The system keeps a trailing separator in the full form; ours never has one below a root.
    EXPECT_EQ(FullPathForm("C:\\windows\\"), "C:\\windows");
    EXPECT_EQ(FullPathForm("C:\\windows\\..\\.."), "C:\\");
}

TEST(WindowsErrors, SystemCodesReadAsErrnoAndKeepTheirOwnNumber) {
    struct Case {
        unsigned long code;
        int error;
    };
    for (const Case& c : {Case{ERROR_FILE_NOT_FOUND, ENOENT}, Case{ERROR_PATH_NOT_FOUND, ENOENT},
                          Case{ERROR_ACCESS_DENIED, EACCES}, Case{ERROR_ALREADY_EXISTS, EEXIST},
                          Case{ERROR_FILE_EXISTS, EEXIST}, Case{ERROR_LOCK_VIOLATION, EWOULDBLOCK},
                          Case{WSAEWOULDBLOCK, EWOULDBLOCK}, Case{WSAECONNRESET, ECONNRESET},
                          Case{WSAEADDRINUSE, EADDRINUSE}, Case{WSAEMFILE, EMFILE}, Case{ERROR_GEN_FAILURE, EIO}}) {
        EXPECT_EQ(ErrnoFromWin32(c.code), c.error) << c.code;
    }
    EXPECT_EQ(SysResult::Failure("open", ENOENT, ERROR_FILE_NOT_FOUND).Describe(), "open: No such file or directory");
    SysResult unmapped = SysResult::Failure("DeviceIoControl", EIO, ERROR_GEN_FAILURE);
    EXPECT_EQ(unmapped.nativeError(), static_cast<long>(ERROR_GEN_FAILURE));
    EXPECT_EQ(unmapped.Describe().rfind("DeviceIoControl: ", 0), 0u);
    EXPECT_GT(unmapped.Describe().size(), std::string("DeviceIoControl: ").size());
    // The C runtime has no text for the socket errors; they read as on every other system.
    EXPECT_EQ(SysResult::Failure("bind", EADDRINUSE, WSAEADDRINUSE).Describe(), "bind: Address already in use");

    TempFolder root;
    SysResult missing = RemoveFile(root / "missing");
    EXPECT_EQ(missing.error(), ENOENT);
    ASSERT_TRUE(CreateFolder(root / "Home").ok());
    EXPECT_EQ(CreateFolder(root / "HOME").error(), EEXIST);
}

TEST(WindowsLocks, TheCompanionLockGuardsRecordFilesThatAreReplacedByName) {
    TempFolder root;
    const std::string queue = root / "UserMessages.log";
    WriteFile(queue, std::string("old\0", 4));

    LockedFile held;
    ASSERT_EQ(held.TryOpen(queue), LockedFile::Outcome::Locked);
    LockedFile second;
    EXPECT_EQ(second.TryOpen(queue), LockedFile::Outcome::Busy);
    // An append waits for the lock, a bounded time, and then fails rather than interleave.
    EXPECT_EQ(AppendNulTerminated(queue, "late", AppendOpen::ExistingOnly).error(), EWOULDBLOCK);

    // No handle of the data file stays open, so it can be replaced while locked.
    std::string content;
    ASSERT_TRUE(held.ReadAll(content).ok());
    EXPECT_EQ(content, std::string("old\0", 4));
    ASSERT_TRUE(held.Replace(std::string("new\0", 4)).ok());
    held.Close();

    ASSERT_TRUE(AppendNulTerminated(queue, "more", AppendOpen::ExistingOnly).ok());
    EXPECT_EQ(ReadFile(queue), std::string("newmore\0", 8));
    EXPECT_EQ(second.TryOpen(queue), LockedFile::Outcome::Locked);
    ASSERT_TRUE(second.Remove().ok());
    second.Close();
    // A file a collection removed is created anew by the next append.
    EXPECT_FALSE(AppendNulTerminated(queue, "x", AppendOpen::ExistingOnly).ok());
    ASSERT_TRUE(AppendNulTerminated(queue, "x", AppendOpen::CreateIfMissing).ok());
    EXPECT_EQ(ReadFile(queue), std::string("x\0", 2));

    LockHolder other(queue);
    ASSERT_TRUE(other.locked());
    EXPECT_EQ(held.TryOpen(queue), LockedFile::Outcome::Busy);
}

TEST(WindowsPaths, NamesBelowAFolderAreFoundInTheirStoredCapitals) {
    TempFolder root;
    const std::string users = root / "Users";
    vserver::test::MakeFolder(users + "\\JSMITH");
    WriteFile(users + "\\JSMITH\\JSMITHVantorelSettings.vts", "mine");
    const std::string stored = users + "\\JSMITH\\JSMITHVantorelSettings.vts";
    using Outcome = PlaceBeneath::Outcome;
    struct Case {
        const char* relative;
        Outcome outcome;
        std::string path;
    };
    const Case cases[] = {
        {"jsmith\\jsmithvantorelsettings.VTS", Outcome::Found, stored},
        {"jsmith/JSMITHVantorelSettings.vts", Outcome::Found, stored},
        {"jsmith", Outcome::Found, users + "\\JSMITH"},
        {"jsmith\\new.vts", Outcome::Missing, users + "\\JSMITH\\new.vts"},
        {"nobody\\new.vts", Outcome::NoFolder, ""},                        // the folder is missing too
        {"jsmith\\JSMITHVantorelSettings.vts\\x", Outcome::NoFolder, ""},  // a file on the way
        {"..\\Users\\jsmith", Outcome::Outside, ""},
        {"jsmith\\*.vts", Outcome::NoFolder, ""},
    };
    for (const Case& c : cases) {
        PlaceBeneath place = FindBeneath(users, c.relative);
        EXPECT_EQ(place.outcome, c.outcome) << c.relative;
        EXPECT_EQ(place.path, c.path) << c.relative;
    }

    ASSERT_TRUE(SetReadOnly(stored).ok());
    auto file = FindEntry(users + "\\jsmith\\jsmithvantorelsettings.vts");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->path, stored);
    EXPECT_TRUE(file->readOnly);
    EXPECT_FALSE(file->isFolder);
    auto folder = FindEntry(users + "\\jsmith");
    ASSERT_TRUE(folder.has_value());
    EXPECT_TRUE(folder->isFolder);
    EXPECT_FALSE(FindEntry(users + "\\nobody").has_value());
}

// Entries the fake answers below report as reparse points, as a junction in their place would:
// in every answer, or only once the entry is held open (it was swapped after its lookup).
std::vector<std::string> fakeReparsePoints;
std::vector<std::string> fakeReparsePointsOnceHeld;

DWORD WithFakeReparsePoints(const std::string& path, DWORD attributes, backend::AttributeSource source) {
    auto named = [&](const std::vector<std::string>& paths) {
        return std::any_of(paths.begin(), paths.end(), [&](const std::string& p) { return EqualNoCase(p, path); });
    };
    if (named(fakeReparsePoints) || (source == backend::AttributeSource::Held && named(fakeReparsePointsOnceHeld))) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return attributes;
}

TEST(WindowsPaths, EveryReparsePointBelowTheFolderIsRefused) {
    TempFolder root;
    const std::string users = root / "Users";
    for (const char* folder : {"\\JSMITH\\sets", "\\evil", "\\other"}) vserver::test::MakeFolder(users + folder);
    WriteFile(users + "\\JSMITH\\JSMITHVantorelSettings.vts", "mine");
    WriteFile(users + "\\evil\\secret.vts", "secret");
    // Wine makes no reparse points (CreateSymbolicLinkA answers success and makes nothing), so
    // the attributes the system reports are made to show one where a junction would be.
    backend::SetAttributeQueryForTests(WithFakeReparsePoints);
    fakeReparsePoints = {users + "\\evil", users + "\\JSMITH\\sets"};
    fakeReparsePointsOnceHeld = {users + "\\other"};
    for (const char* relative : {"evil\\secret.vts", "EVIL\\new.vts", "evil", "other\\x.vts"}) {
        EXPECT_EQ(FindBeneath(users, relative).outcome, PlaceBeneath::Outcome::Outside) << relative;
        std::string read;
        EXPECT_EQ(ReadFileBeneath(users, relative, read).error(), kOutsideError) << relative;
    }
    std::string read;
    EXPECT_TRUE(ReadFileBeneath(users, "jsmith\\jsmithVantorelSettings.vts", read).ok());
    EXPECT_EQ(read, "mine");
    // A removal finds the reparse point itself, to remove it without entering it.
    PlaceBeneath link = FindBeneath(users, "evil", FinalLink::Keep);
    EXPECT_TRUE(link.found() && link.isLink);
    std::vector<PlaceBeneath> entries;
    ASSERT_TRUE(ListBeneath(FindBeneath(users, "jsmith"), entries).ok());
    for (const PlaceBeneath& entry : entries) EXPECT_EQ(entry.isLink, entry.name == "sets") << entry.name;
    EXPECT_EQ(entries.size(), 2u);
    backend::SetAttributeQueryForTests(nullptr);
}

TEST(WindowsFolders, FolderChecksNameWhatIsWrong) {
    TempFolder root;
    WriteFile(root / "file.txt", "x");
    EXPECT_EQ(CheckFolder(root.path()).verdict, FolderCheck::Verdict::Usable);
    EXPECT_EQ(CheckFolder(root / "missing").verdict, FolderCheck::Verdict::Missing);
    EXPECT_EQ(CheckFolder(root / "missing\\below").verdict, FolderCheck::Verdict::Missing);
    FolderCheck file = CheckFolder(root / "file.txt");
    EXPECT_EQ(file.verdict, FolderCheck::Verdict::NotAFolder);
    EXPECT_EQ(file.failure.error(), ENOTDIR);

    EXPECT_TRUE(SyncFolderOf(root / "file.txt").ok());
    EXPECT_FALSE(SyncFolderOf(root / "missing\\file.txt").ok());
}

TEST(WindowsFolders, TheInstanceLockKeepsASecondServerOutAndNamesTheFirst) {
    TempFolder root;
    const std::string path = root / "VServerService.lock";
    EXPECT_FALSE(QueryInstanceLock(path).held) << "no lock file yet";

    InstanceLockResult first = AcquireInstanceLock(path);
    ASSERT_EQ(first.outcome, InstanceLockResult::Outcome::Held);
    EXPECT_TRUE(first.failure.ok());
    // The holder's id stays readable while the lock is held.
    EXPECT_EQ(ReadFile(path), std::to_string(CurrentProcessId()) + "\n");

    InstanceLockResult second = AcquireInstanceLock(path);
    EXPECT_EQ(second.outcome, InstanceLockResult::Outcome::Busy);
    EXPECT_EQ(second.holderPid, CurrentProcessId());

    InstanceLockState state = QueryInstanceLock(path);
    EXPECT_TRUE(state.held);
    EXPECT_EQ(state.holderPid, CurrentProcessId());
    EXPECT_GT(state.since, 0);
    // Asking leaves the lock as it was.
    EXPECT_EQ(AcquireInstanceLock(path).outcome, InstanceLockResult::Outcome::Busy);
}

TEST(WindowsRegistry, UpdatesWithoutWaitingAndStampsThatTellVersionsApart) {
    TempFolder root;
    const std::string path = root / "VServerService.reg";
    const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Test";
    RegistryFileStamps missing;
    ASSERT_TRUE(ReadRegistryFileStamps(path, missing).ok());
    EXPECT_FALSE(missing.exists);

    auto write = [&](const char* value) {
        return [=](RegistryFile& file) {
            file.WriteString(key, "Port", value);
            return true;
        };
    };
    ASSERT_TRUE(UpdateRegistryFile(path, write("1")).ok());
    RegistryFile loaded;
    RegistryFileStamps first;
    ASSERT_TRUE(LoadRegistryFile(path, loaded, nullptr, &first).ok());
    EXPECT_EQ(loaded.ReadString(key, "port").value_or("(none)"), "1");
    RegistryFileStamps again;
    ASSERT_TRUE(ReadRegistryFileStamps(path, again).ok());
    EXPECT_TRUE(first.exists);
    EXPECT_TRUE(first.SameVersion(again));

    {
        LockHolder other(path);
        ASSERT_TRUE(other.locked());
        SysResult busy = TryUpdateRegistryFile(path, write("22"));
        EXPECT_TRUE(IsLockBusy(busy)) << busy.Describe();
    }
    ASSERT_TRUE(LoadRegistryFile(path, loaded).ok());
    EXPECT_EQ(loaded.ReadString(key, "Port").value_or("(none)"), "1");

    ASSERT_TRUE(TryUpdateRegistryFile(path, write("22")).ok());
    ASSERT_TRUE(ReadRegistryFileStamps(path, again).ok());
    EXPECT_FALSE(first.SameVersion(again));
    EXPECT_EQ(Names(root.path()), (std::vector<std::string>{"VServerService.reg", "VServerService.reg.lock"}))
        << "no temporary is left";
}

TEST(WindowsRegistry, AFolderInThePlaceOfTheFileIsNamedAsSuch) {
    TempFolder root;
    const std::string path = root / "VServerService.reg";
    vserver::test::MakeFolder(path);
    RegistryFile file;
    SysResult loaded = LoadRegistryFile(path, file);
    EXPECT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error(), EISDIR) << loaded.Describe();
}

// Calls back on each readiness; the test decides what a call does.
class Probe final : public IoHandler {
public:
    std::function<void()> onReadable = [] {};
    std::function<void()> onWritable = [] {};
    void OnReadable() override { onReadable(); }
    void OnWritable() override { onWritable(); }
};

class WindowsLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ListenTcp(0, 5, listener).ok());
        port = LocalPort(listener);
        ASSERT_GT(port, 0);
    }
    void TearDown() override { CloseHandle(listener); }

    // A client of the listener, connected as the console connects.
    client::Connection Connect() const {
        client::Connection connection;
        std::string error;
        EXPECT_TRUE(connection.Open("127.0.0.1", port, milliseconds(5000), &error)) << error;
        return connection;
    }

    // Accepts the one waiting connection, waiting for it through the loop.
    IoHandle AcceptThroughLoop(EventLoop& loop) {
        IoHandle accepted = kInvalidHandle;
        Probe accept;
        accept.onReadable = [&] {
            if (AcceptTcp(listener, accepted).status == IoResult::Status::Done) loop.Stop();
        };
        EXPECT_TRUE(loop.Watch(listener, &accept, true, false).ok());
        loop.Run();
        loop.Unwatch(listener);
        return accepted;
    }

    IoHandle listener = kInvalidHandle;
    int port = 0;
};

TEST_F(WindowsLoop, AClosedPeersBufferedInputIsReadBeforeItsEnd) {
    client::Connection client = Connect();
    ASSERT_TRUE(client.is_open());
    const std::string sent(10000, 'x');
    client.SendRaw(sent);
    client.Close();

    EventLoop loop;
    IoHandle accepted = AcceptThroughLoop(loop);
    ASSERT_NE(accepted, kInvalidHandle);
    EventLoop reader;
    std::string received;
    bool ended = false;
    Probe probe;
    probe.onReadable = [&] {
        char buffer[1000];
        IoResult r = Receive(accepted, buffer, sizeof buffer);
        if (r.status == IoResult::Status::Done) received.append(buffer, r.count);
        if (r.status == IoResult::Status::PeerClosed) {
            ended = true;
            reader.Unwatch(accepted);
            reader.Stop();
        }
    };
    ASSERT_TRUE(reader.Watch(accepted, &probe, true, false).ok());
    reader.Run();
    EXPECT_TRUE(ended);
    EXPECT_EQ(received, sent);
    CloseHandle(accepted);
}

TEST_F(WindowsLoop, HintsWithoutInputFindNothingAndWritabilityIsAnnounced) {
    client::Connection client = Connect();
    ASSERT_TRUE(client.is_open());
    EventLoop acceptor;
    IoHandle accepted = AcceptThroughLoop(acceptor);
    ASSERT_NE(accepted, kInvalidHandle);

    EventLoop loop;
    int wouldBlock = 0;
    int writable = 0;
    Probe probe;
    probe.onReadable = [&] {
        char buffer[16];
        IoResult r = Receive(accepted, buffer, sizeof buffer);
        EXPECT_EQ(r.status, IoResult::Status::WouldBlock);
        ++wouldBlock;
    };
    probe.onWritable = [&] {
        // Asked for once, announced once: stop asking.
        ++writable;
        (void)loop.Modify(accepted, &probe, true, false);
        loop.AddTimer(milliseconds(50), [&] { loop.Stop(); });
    };
    ASSERT_TRUE(loop.Watch(accepted, &probe, true, false).ok());
    ASSERT_TRUE(loop.Modify(accepted, &probe, true, true).ok());
    loop.Run();
    EXPECT_GE(wouldBlock, 1);
    EXPECT_EQ(writable, 1);
    loop.Unwatch(accepted);
    CloseHandle(accepted);
}

// A handler may leave input for a later turn; Winsock says nothing more until the next recv,
// so the loop must keep announcing the input until it is read.
TEST_F(WindowsLoop, InputLeftUnreadIsAnnouncedAgainUntilItIsRead) {
    client::Connection client = Connect();
    ASSERT_TRUE(client.is_open());
    EventLoop acceptor;
    IoHandle accepted = AcceptThroughLoop(acceptor);
    ASSERT_NE(accepted, kInvalidHandle);
    client.SendRaw("held back");

    EventLoop loop;
    bool mayRead = false;
    std::string received;
    Probe probe;
    probe.onReadable = [&] {
        if (!mayRead) return;
        char buffer[64];
        IoResult r = Receive(accepted, buffer, sizeof buffer);
        if (r.status == IoResult::Status::Done) received.append(buffer, r.count);
        if (received == "held back") loop.Stop();
    };
    ASSERT_TRUE(loop.Watch(accepted, &probe, true, false).ok());
    loop.AddTimer(milliseconds(100), [&] { mayRead = true; });
    loop.AddTimer(milliseconds(5000), [&] { loop.Stop(); });
    loop.Run();
    EXPECT_EQ(received, "held back");
    loop.Unwatch(accepted);
    CloseHandle(accepted);
}

BOOL WINAPI RefusingPoster(HWND, UINT, WPARAM, LPARAM) {
    ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
}

// Every notice of the loop's own is refused, as by a queue that is full: the connections are
// accepted, read and written all the same, by what the loop asks the sockets in the next turn.
TEST_F(WindowsLoop, NoticesTheQueueRefusesAreMadeUpByAskingEverySocket) {
    constexpr int kClients = 4;  // all waiting at once, within the listener's backlog
    std::vector<client::Connection> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(Connect());
        clients.back().SendRaw("hello");
    }
    struct Peer {
        IoHandle handle = kInvalidHandle;
        std::string received;
        bool answered = false;
        Probe probe;
    };
    std::list<Peer> peers;
    int answered = 0;
    int lost = 0;
    EventLoop loop;
    loop.OnLostNotice([&] { ++lost; });
    backend::SetNoticePosterForTests(&RefusingPoster);
    auto serve = [&](Peer& peer) {
        peer.probe.onReadable = [&] {
            char buffer[16];
            IoResult r = Receive(peer.handle, buffer, sizeof buffer);
            if (r.status == IoResult::Status::Done) peer.received.append(buffer, r.count);
            // Asking for room to write while it is there: only the loop's own notice says so.
            if (peer.received == "hello") (void)loop.Modify(peer.handle, &peer.probe, false, true);
        };
        peer.probe.onWritable = [&] {
            if (peer.answered) return;
            peer.answered = true;
            (void)loop.Modify(peer.handle, &peer.probe, false, false);
            if (++answered == kClients) loop.Stop();
        };
        EXPECT_TRUE(loop.Watch(peer.handle, &peer.probe, true, false).ok());
    };
    Probe accept;
    accept.onReadable = [&] {
        IoHandle accepted = kInvalidHandle;
        while (AcceptTcp(listener, accepted).status == IoResult::Status::Done) {
            peers.emplace_back().handle = accepted;
            serve(peers.back());
        }
    };
    ASSERT_TRUE(loop.Watch(listener, &accept, true, false).ok());
    // Only a bound for a loop that would hang: the test ends when every connection is served.
    loop.AddTimer(std::chrono::seconds(60), [&] { loop.Stop(); });
    loop.Run();
    backend::SetNoticePosterForTests(nullptr);

    EXPECT_EQ(answered, kClients);
    EXPECT_GT(lost, 0);
    for (Peer& peer : peers) {
        EXPECT_EQ(peer.received, "hello");
        loop.Unwatch(peer.handle);
        CloseHandle(peer.handle);
    }
    loop.Unwatch(listener);
}

TEST_F(WindowsLoop, ASecondListenerOnAPortInUseFailsToBind) {
    IoHandle second = kInvalidHandle;
    SysResult result = ListenTcp(port, 5, second);
    EXPECT_FALSE(result.ok());
    EXPECT_STREQ(result.call(), "bind");
    // Exclusive use refuses with WSAEACCES; what the administrator reads is the port in use.
    EXPECT_EQ(result.error(), EADDRINUSE);
    if (result.ok()) CloseHandle(second);
}

TEST(WindowsLoopTurns, WorkHandedOnRunsInLaterTurnsWithoutTheLoopSleeping) {
    EventLoop loop;
    ASSERT_TRUE(loop.valid());
    std::string order;
    // A timer far away would be the only thing to wake a loop that slept.
    loop.AddTimer(std::chrono::hours(1), [&] { order += "timer"; });
    loop.RunNextTurn([&] {
        order += "1";
        loop.RunNextTurn([&] {
            order += "3";
            loop.Stop();
        });
        loop.Defer([&] { order += "2"; });
    });
    loop.Run();
    EXPECT_EQ(order, "123");
}

TEST(WindowsService, AProcessStartedByHandIsNotHandedOverAndReportsNothing) {
    bool ran = false;
    EXPECT_FALSE(RunUnderServiceManager("VServerService", [&ran] { ran = true; }));
    EXPECT_FALSE(ran);
    // Without a connection to the manager a state report goes nowhere and harms nothing.
    ServiceHost host;
    host.ReportState(ServiceStatus::Running);
}

// The Event Viewer shows an event with the message its id names in the executable's message
// table: each id the service reports under must be there, of its own severity, and show the
// event's text as it is.
TEST(WindowsService, TheExecutablesMessageTableShowsEachEventsTextAsItIs) {
    char self[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameA(nullptr, self, sizeof self), 0u);
    std::string exe = self;
    exe = exe.substr(0, exe.find_last_of('\\'));
    exe = exe.substr(0, exe.find_last_of('\\')) + "\\VServerService.exe";
    HMODULE module = ::LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << exe << ": " << ::GetLastError();
    const std::pair<DWORD, DWORD> messages[] = {
        {MSG_SERVICE_NOTICE, 1}, {MSG_SERVICE_WARNING, 2}, {MSG_SERVICE_FAILURE, 3}};
    for (const auto& [id, severity] : messages) {
        EXPECT_EQ(id >> 30, severity);
        const char* text = "Can't initialize server object: 100% sure";
        DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
        char shown[256] = {};
        const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0,
                                              shown, sizeof shown, reinterpret_cast<va_list*>(arguments));
        EXPECT_EQ(std::string(shown, length), text) << id << ": " << ::GetLastError();
    }
    ::FreeLibrary(module);
}

// The system's shutdown controls reach the service only from the manager while the system
// shuts down (the manager refuses them from any other program), so they are handed in here
// through the entry the manager calls.
TEST(WindowsService, TheSystemsShutdownEndsTheServiceAsAStopDoes) {
    const DWORD controls[] = {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN,
                              SERVICE_CONTROL_INTERROGATE};
    for (DWORD control : controls) {
        host::ServiceModule module;
        module.isService = false;
        int quits = 0;
        module.SetQuitAction([&] { ++quits; });
        module.SetState(host::ServiceState::Running);
        (void)module.RegisterControlHandler();  // refused by a manager that did not start us
        EXPECT_EQ(backend::ServiceControlEntryForTests()(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        const bool ends = control != SERVICE_CONTROL_INTERROGATE;
        EXPECT_EQ(quits, ends ? 1 : 0) << control;
        EXPECT_EQ(module.state(), ends ? host::ServiceState::StopPending : host::ServiceState::Running) << control;
    }
}

} // namespace
} // namespace vserver::platform
