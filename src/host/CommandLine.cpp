#include "host/CommandLine.h"

#include <cstddef>

namespace vserver::host {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool BeginsWithKeyword(std::string_view token, std::string_view keyword) {
    if (token.size() < keyword.size()) return false;
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        if (AsciiLower(token[i]) != AsciiLower(keyword[i])) return false;
    }
    return true;
}

} // namespace

std::string JoinArguments(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

CommandSwitch ParseCommandLine(std::string_view commandLine) {
    std::size_t at = commandLine.find_first_of("-/");
    while (at != std::string_view::npos) {
        std::string_view token = commandLine.substr(at + 1);
        if (BeginsWithKeyword(token, "Embedding") || BeginsWithKeyword(token, "Automation")) {
            return CommandSwitch::Embedding;
        }
        if (BeginsWithKeyword(token, "UnregServer")) return CommandSwitch::UnregServer;
        if (BeginsWithKeyword(token, "RegServer")) return CommandSwitch::RegServer;
        at = commandLine.find_first_of("-/", at + 1);
    }
    return CommandSwitch::None;
}

} // namespace vserver::host
