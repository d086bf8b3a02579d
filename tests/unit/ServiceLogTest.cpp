#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

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
