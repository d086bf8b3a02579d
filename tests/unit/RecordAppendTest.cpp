#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "platform/RecordAppend.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using vserver::test::LockHolder;
using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

#ifndef _WIN32
// A per-process file size limit exists on POSIX systems only.

// Lowers this process's file-size limit for the scope: writes past it fail with EFBIG, as
// they would on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered{bytes, saved_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

TEST(RecordAppend, AFailedAppendLeavesTheFileAsItWas) {
    struct Case {
        const char* name;
        std::string before;
    };
    const Case cases[] = {
        {"records ending in NUL", std::string("one\r\ntwo\r\n\0", 11)},
        {"another tool's file without the NUL", "one\r\ntwo"},
        {"an empty file", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        const std::string path = root / "queue.log";
        WriteFile(path, c.before);
        {
            FileSizeLimit limit(c.before.size() + 4);
            SysResult failed = AppendNulTerminated(path, "a record too long to fit\r\n", AppendOpen::ExistingOnly);
            EXPECT_FALSE(failed.ok());
            EXPECT_EQ(ReadFile(path), c.before);
        }
        // With room again the next append starts where the old content ended.
        ASSERT_TRUE(AppendNulTerminated(path, "three\r\n", AppendOpen::ExistingOnly).ok());
        std::string expected = c.before.empty() ? "" : c.before.substr(0, c.before.size() - 1);
        EXPECT_EQ(ReadFile(path), expected + std::string("three\r\n\0", 8));
    }
}

#endif

TEST(RecordAppend, WithoutWaitingABusyLockFailsAtOnceAndChangesNothing) {
    TempFolder root;
    const std::string path = root / "ServiceLog.log";
    WriteFile(path, std::string("kept\r\n\0", 7));
    auto holder = std::make_unique<LockHolder>(path);
    ASSERT_TRUE(holder->locked());
    SysResult busy = AppendNulTerminated(path, "late\r\n", AppendOpen::CreateIfMissing, LockWait::None);
    EXPECT_TRUE(IsLockBusy(busy)) << busy.Describe();
    EXPECT_EQ(ReadFile(path), std::string("kept\r\n\0", 7));
    holder.reset();
    EXPECT_TRUE(AppendNulTerminated(path, "late\r\n", AppendOpen::CreateIfMissing, LockWait::None).ok());
    EXPECT_EQ(ReadFile(path), std::string("kept\r\nlate\r\n\0", 13));
    EXPECT_FALSE(IsLockBusy(SysResult::Failure("open", ENOENT)));
}

} // namespace
} // namespace vserver::platform
