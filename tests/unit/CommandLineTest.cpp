#include "host/CommandLine.h"

#include <gtest/gtest.h>

namespace vserver::host {
namespace {

TEST(CommandLine, NoSwitchServes) {
    EXPECT_EQ(ParseCommandLine(""), CommandSwitch::None);
    EXPECT_EQ(ParseCommandLine("RegServer"), CommandSwitch::None);
    // The service manager starts the program with "-Service", which is no switch of ours.
    EXPECT_EQ(ParseCommandLine("-Service"), CommandSwitch::None);
}

TEST(CommandLine, KeywordsMatchWithoutCaseOverTheirOwnLength) {
    EXPECT_EQ(ParseCommandLine("-RegServer"), CommandSwitch::RegServer);
    EXPECT_EQ(ParseCommandLine("/regserver"), CommandSwitch::RegServer);
    EXPECT_EQ(ParseCommandLine("-REGSERVERX"), CommandSwitch::RegServer);
    EXPECT_EQ(ParseCommandLine("-UnregServer"), CommandSwitch::UnregServer);
    EXPECT_EQ(ParseCommandLine("/unregserverNow"), CommandSwitch::UnregServer);
    EXPECT_EQ(ParseCommandLine("-Embedding"), CommandSwitch::Embedding);
    EXPECT_EQ(ParseCommandLine("/automation"), CommandSwitch::Embedding);
}

TEST(CommandLine, ShorterTokensAndMalformedSwitchesDoNothing) {
    EXPECT_EQ(ParseCommandLine("-Reg"), CommandSwitch::None);
    EXPECT_EQ(ParseCommandLine("-RegServe"), CommandSwitch::None);
    EXPECT_EQ(ParseCommandLine("- RegServer"), CommandSwitch::None);
    EXPECT_EQ(ParseCommandLine("-"), CommandSwitch::None);
    EXPECT_EQ(ParseCommandLine("//--"), CommandSwitch::None);
    EXPECT_EQ(ParseCommandLine("-Unreg Server"), CommandSwitch::None);
}

TEST(CommandLine, UnknownSwitchesAreSkippedUntilOneMatches) {
    EXPECT_EQ(ParseCommandLine("-Service -RegServer"), CommandSwitch::RegServer);
    EXPECT_EQ(ParseCommandLine("-Service /x /UnregServer -RegServer"), CommandSwitch::UnregServer);
    // The search goes on from the character after each "-" or "/", so a dash inside a token
    // starts a new one.
    EXPECT_EQ(ParseCommandLine("--RegServer"), CommandSwitch::RegServer);
    EXPECT_EQ(ParseCommandLine("path/RegServer"), CommandSwitch::RegServer);
}

TEST(CommandLine, FirstMatchingSwitchWins) {
    EXPECT_EQ(ParseCommandLine("-Embedding -RegServer"), CommandSwitch::Embedding);
    EXPECT_EQ(ParseCommandLine("-RegServer -UnregServer"), CommandSwitch::RegServer);
}

TEST(CommandLine, ArgumentsAreJoinedAfterTheProgramName) {
    char program[] = "VServerService";
    char first[] = "-Service";
    char second[] = "/RegServer";
    char* argv[] = {program, first, second, nullptr};
    EXPECT_EQ(JoinArguments(3, argv), "-Service /RegServer");
    EXPECT_EQ(JoinArguments(1, argv), "");
}

} // namespace
} // namespace vserver::host
