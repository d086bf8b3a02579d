// The console's command table read against its help and its argument checks: a command added to
// the table without its help, or help left for the wrong name, shows here before anyone runs it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vserverctl/CommandLine.h"
#include "vserverctl/CommandTable.h"
#include "vserverctl/Help.h"

namespace vserver::ctl {
namespace {

TEST(ConsoleCommands, EveryCommandHasItsHelpAndTheProgramHelpListsThemInTheTablesOrder) {
    const std::string help = ProgramHelp();
    std::size_t at = help.find("Commands:\n");
    ASSERT_NE(at, std::string::npos);
    for (const CommandSpec& command : Commands()) {
        const HelpText text = HelpOf(command.name);
        EXPECT_FALSE(text.summary.empty()) << command.name;
        EXPECT_FALSE(text.description.empty()) << command.name;
        // Each entry begins a line with the name and a blank, after the entry before it.
        const std::size_t entry = help.find("\n  " + std::string(command.name) + " ", at);
        ASSERT_NE(entry, std::string::npos) << command.name;
        // It runs to the next line that begins a command; a long usage puts the summary below.
        std::size_t next = entry;
        do {
            next = help.find("\n  ", next + 1);
        } while (next != std::string::npos && help[next + 3] == ' ');
        EXPECT_NE(help.substr(entry, next - entry).find(text.summary), std::string::npos) << command.name;
        at = entry;
        EXPECT_NE(CommandHelp(command).find(command.usage), std::string::npos) << command.name;
    }
    EXPECT_TRUE(HelpOf("no-such-command").summary.empty());
}

TEST(ConsoleCommands, ArgumentsAreCheckedAndNamedAsTheTableNamesThem) {
    const CommandSpec* message = FindCommand("message");
    const CommandSpec* option = FindCommand("option");
    const CommandSpec* report = FindCommand("report");
    ASSERT_TRUE(message != nullptr && option != nullptr && report != nullptr);
    EXPECT_EQ(FindCommand("messages"), nullptr);

    const CommandOptions none;
    EXPECT_EQ(CheckArguments(*message, {"jsmith"}, none, false),
              "missing arguments; usage: vserverctl message ACCOUNT TEXT | --all TEXT [--dry-run]");
    CommandOptions all;
    all.all = true;
    // With --all the account is not given.
    EXPECT_EQ(CheckArguments(*message, {"hello"}, all, false), std::nullopt);

    EXPECT_EQ(ArgumentName(*option, {"set", "Colour", "red"}, 2), "VALUE");
    EXPECT_EQ(ArgumentName(*option, {"get", "Colour", "red"}, 2), "DEFAULT");
    const std::optional<std::string> reserved = CheckReservedBytes(*message, {"jsmith", "a\xA7z"});
    ASSERT_TRUE(reserved.has_value());
    EXPECT_EQ(reserved->rfind("argument TEXT holds the byte 0xA7", 0), 0u) << *reserved;
    EXPECT_EQ(CheckReservedBytes(*message, {"jsmith", "plain"}), std::nullopt);
}

TEST(ConsoleCommands, TheCommandWordIsFoundPastOptionsAndTheirValues) {
    const auto word = [](std::vector<std::string> line) {
        std::vector<char*> argv;
        for (std::string& part : line) argv.push_back(part.data());
        return CommandWord(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(word({"vserverctl", "-w", "5", "check"}), "check");
    EXPECT_EQ(word({"vserverctl", "--timeout", "2", "--json", "count"}), "count");
    EXPECT_EQ(word({"vserverctl", "--timeout=2", "count"}), "count");
    EXPECT_EQ(word({"vserverctl", "--", "-odd"}), "-odd");
    EXPECT_EQ(word({"vserverctl", "--json"}), "");
}

} // namespace
} // namespace vserver::ctl
