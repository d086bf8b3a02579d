#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/EventLoop.h"
#include "settings/ServiceLog.h"

namespace {

namespace fs = std::filesystem;

class ServiceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("servicelog-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);
        path = (folder / "ServiceLog.log").string();
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string Content() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path folder;
    std::string path;
};

const std::regex kRecord(R"(\d\d/\d\d/\d\d\t\d\d:\d\d:\d\d\t)");

} // namespace

TEST_F(ServiceLogTest, RecordsEndInCrLfAndTheFileInOneNul) {
    vserver::settings::WriteServiceLogTo(path, "first");
    std::string one = Content();
    ASSERT_EQ(one.size(), 18u + 5 + 2 + 1);
    EXPECT_TRUE(std::regex_search(one.substr(0, 18), kRecord));
    EXPECT_EQ(one.substr(18), std::string("first\r\n\0", 8));

    vserver::settings::WriteServiceLogTo(path, "");
    vserver::settings::WriteServiceLogTo(path, "third");
    std::string all = Content();
    EXPECT_EQ(std::count(all.begin(), all.end(), '\0'), 1);
    EXPECT_EQ(all.back(), '\0');
    EXPECT_EQ(all.substr(25, 20).substr(18), "\r\n");   // the empty message's record
    EXPECT_EQ(all.size(), 25u + 20 + 25 + 1);
}

TEST_F(ServiceLogTest, StepsBackOverTheLastByteOfAForeignFile) {
    { std::ofstream(path, std::ios::binary) << "written by hand!"; }
    vserver::settings::WriteServiceLogTo(path, "x");
    std::string content = Content();
    EXPECT_EQ(content.substr(0, 15), "written by hand");
    EXPECT_TRUE(std::regex_search(content.substr(15, 18), kRecord));
    EXPECT_EQ(content.substr(33), std::string("x\r\n\0", 4));
}

TEST_F(ServiceLogTest, AnEmptyFileGetsNoStepBackAndAMissingFolderIsSilent) {
    { std::ofstream(path, std::ios::binary); }
    vserver::settings::WriteServiceLogTo(path, "a");
    EXPECT_EQ(Content().size(), 18u + 1 + 2 + 1);
    vserver::settings::WriteServiceLogTo((folder / "missing" / "ServiceLog.log").string(), "dropped");
    EXPECT_FALSE(fs::exists(folder / "missing"));
}

// Inside a turn of the loop the records wait for its end and then go out together, in order,
// ahead of the turn's output; outside a turn they are written at once.
TEST_F(ServiceLogTest, RecordsOfOneTurnGoOutTogetherBeforeItsOutput) {
    vserver::platform::EventLoop loop;
    vserver::settings::AttachServiceLogToLoop(loop);
    vserver::settings::WriteServiceLogTo(path, "before the loop");
    EXPECT_NE(Content().find("before the loop"), std::string::npos);

    std::string seenInTurn;
    std::string seenByOutput;
    loop.AddTimer(std::chrono::milliseconds(0), [&] {
        for (const char* text : {"one", "two", "three"}) vserver::settings::WriteServiceLogTo(path, text);
        seenInTurn = Content();
        loop.AtTurnEnd(vserver::platform::TurnEndStage::Output, [&] { seenByOutput = Content(); });
        loop.Stop();
    });
    loop.Run();
    vserver::settings::DetachServiceLogFromLoop();
    EXPECT_EQ(seenInTurn.find("one"), std::string::npos);
    const std::size_t one = seenByOutput.find("\tone\r\n");
    const std::size_t two = seenByOutput.find("\ttwo\r\n");
    const std::size_t three = seenByOutput.find("\tthree\r\n");
    ASSERT_NE(three, std::string::npos) << seenByOutput;
    EXPECT_LT(one, two);
    EXPECT_LT(two, three);
    EXPECT_EQ(seenByOutput.find('\0'), seenByOutput.size() - 1);
}
