#pragma once
// The command line as the start-up routine reads it: one text in which the first recognised
// switch after a "-" or "/" decides what the process does.

#include <string>
#include <string_view>

namespace vserver::host {

enum class CommandSwitch {
    None,          // no recognised switch: serve
    Embedding,     // "Embedding" or "Automation": launched by another program; serve
    UnregServer,   // unregister and end
    RegServer,     // register and end
};

// The arguments after the program name, joined by single blanks.
std::string JoinArguments(int argc, char** argv);

// Finds the first token after "-" or "/" that begins with a keyword, compared without regard
// to case over the keyword's own length (so "-RegServerX" registers and "-Reg" does nothing).
// Keywords are tried in the order Embedding, Automation, UnregServer, RegServer; a token that
// matches none, such as "-Service", is skipped and the search goes on after its "-" or "/".
CommandSwitch ParseCommandLine(std::string_view commandLine);

} // namespace vserver::host
