#include "vserverctl/Help.h"

#include "vserverctl/SystemInstallation.h"

namespace vserver::ctl {

namespace {

// Every command's line in the program's help and its own help's paragraph, in the order of
// the command table.
const HelpText kHelpTexts[] = {
    {"sessions", "list the connections and their sessions",
     "Lists every connection, newest first, with its account, session label, client kind and detail. "
     "A connection that has not logged on is shown as \"not logged on\". Client kind 5 is an administrator "
     "console; this console's own session is part of the list."},
    {"count", "count the connected clients",
     "Prints the number of connections, logged on or not, without the administrator console."},
    {"lock", "lock logons",
     "Locks logons so that only an administrator console can log on. The server keeps the lock only while "
     "this console is its only connection; when other clients are connected it clears the lock, and lock "
     "then fails with exit status 1."},
    {"unlock", "unlock logons",
     "Clears the logon lock."},
    {"locked", "tell whether logons are locked",
     "Prints \"locked\" (exit status 0) or \"not locked\" (exit status 1)."},
    {"disconnect", "end the session of an account, or every session",
     "Sends the session that holds ACCOUNT the disconnect notice and closes its connection. Fails when no "
     "session holds the account. With --all, ends every logged-on session except the consoles, goes on past a "
     "failure and prints a summary; --dry-run only lists them. Exit status 1 when any failed."},
    {"message", "send a text message to a logged-on user now, or to everyone",
     "Sends TEXT to the session that holds ACCOUNT (the newest one when several do). Fails when no session "
     "holds the account. With --all, sends TEXT to every logged-on account except the consoles, once per "
     "account, goes on past a failure and prints a summary; --dry-run only lists them. Exit status 1 when any "
     "failed."},
    {"toolbar", "send a toolbar set to a logged-on user now",
     "Sends the toolbar set name SET to the session that holds ACCOUNT. Fails when no session holds the "
     "account."},
    {"queue-message", "queue a text message for an account",
     "Queues TEXT for ACCOUNT; the account's client collects it later. The account need not exist."},
    {"queue-toolbar", "queue a toolbar set for an account",
     "Queues the toolbar set name SET for ACCOUNT; the account's client collects it later."},
    {"accounts", "list the accounts",
     "Lists the accounts (the folders of the users folder), one per line, in the order the file system "
     "gives them."},
    {"create", "create an account, or every account of a list",
     "Creates the home folder of ACCOUNT with its copy of the master preference file. Account names hold at "
     "most 25 bytes. With --from, creates every account FILE names (\"-\" reads standard input): one name per "
     "line, or the first column of a CSV file with a header line (a file ending in .csv, or whose first line "
     "holds a comma, semicolon or tab); blank lines and lines beginning with # are skipped, and blanks around "
     "a name are dropped. It goes on past a failure and prints what was created, what was already there and "
     "what was refused with the reason; --dry-run only shows what would be done. Exit status 1 when any was "
     "refused."},
    {"delete", "delete an account, or every account of a list",
     "Removes the home folder of ACCOUNT and everything in it. With --from, deletes every account FILE names, "
     "read as create --from reads it; accounts that do not exist are reported as not there. It goes on past a "
     "failure, prints a summary and exits with status 1 when any was refused; --dry-run only shows what would "
     "be done."},
    {"toolbars", "list the toolbar sets",
     "Lists the toolbar sets of the users folder (without the built-in set CLASSIC), one per line."},
    {"toolbar-exists", "tell whether a toolbar set exists",
     "Prints \"yes\" (exit status 0) or \"no\" (exit status 1). The server takes SET as a file name pattern: "
     "\"*\" matches any set."},
    {"option", "read, write or list the server options",
     "option get prints the server option NAME as Options\\NAME = VALUE; when it is not stored, DEFAULT, or "
     "the server's own default for an option the server reads, marked \"not stored\". option set stores VALUE "
     "under NAME; a name the server does not read (a misspelling, or PortNumber, which lives under Connection) is "
     "refused unless --force is given, and a value the server reads differently is warned about. option list "
     "shows every option the server reads and every other stored option with its stored text, the value the "
     "server works with, and the default. AllowAccountCreation, LogUserStatistics, ConsoleAddresses, "
     "MaxConnectionsPerAddress and ConsoleOnlySharedFiles take effect after reload."},
    {"reload", "reload the option flags",
     "Makes the server read AllowAccountCreation, LogUserStatistics, ConsoleAddresses, MaxConnectionsPerAddress "
     "and ConsoleOnlySharedFiles again."},
    {"version", "print the server's version",
     "Prints the version the server reports."},
    {"status", "show the server's state and where its files are",
     "Shows the server's version, process id and uptime, the port, the installation folder (the folder of this "
     "program), the registry file, the master path, the number of connections, whether another console is "
     "logged on, and the logon lock. What the installation's own files tell is shown also when the server "
     "cannot be reached; the exit status is then 3."},
    {"log", "print the service log",
     "Prints the service log beside this program as text, one record per line: date, time and text separated "
     "by tabs. -n N prints only the last N records; --follow goes on printing records as the server writes "
     "them, until interrupted."},
    {"report", "summarise the usage statistics of a period",
     "Reads the usage statistics (the installation's Users/EventLog.log below MasterPath, or each FILE; \"-\" "
     "reads standard input) without a server and summarises the days from --from to --to (YYYY-MM-DD or "
     "MM/DD/YY, both included; default every line). A session is a logon and the next logoff or disconnect of "
     "the same account on the same workstation label; a change of user ends one and begins the next. A logon "
     "without its end is counted as open and given no length. It prints the totals and the tables per account "
     "(sessions, open, total and median time, first and last seen, workstations, client events), per workstation, "
     "per day and per hour of the day (sessions begun, most at once), the client events by code, and the first "
     "lines it could not read with their line numbers. --csv prints one table (--by accounts, workstations, days, "
     "hours, events or unreadable; default accounts), --json all of them, and --html PAGE writes a page with "
     "charts that needs nothing else to show or print."},
    {"check", "check the server for a monitoring system",
     "A check in the monitoring-plugins convention: one status line with performance data after \"|\" "
     "(connections, sessions, logons locked, queued items waiting, service log size) and exit status 0 OK, 1 "
     "WARNING, 2 CRITICAL or 3 UNKNOWN. -w and -c give the thresholds: the status is WARNING or CRITICAL when "
     "the connections, or the queued items, are more than the number given (either may be left out, as in "
     "\"-w ,500\"). CRITICAL when the server does not answer within --timeout. When another console is logged on "
     "the server cannot be asked for its connections; the check then says so and is UNKNOWN only when a "
     "connection threshold was given. The queued items and the service log are read from the installation "
     "beside this program, and only when --host is this computer."},
    {"check-move", "check an installation's folders before or after a move between Windows and Linux",
     "Reads the master folder (FOLDER, or MasterPath of the installation beside this program) and everything "
     "below it, without a server, and prints one line for each thing to look at: a name that is not UTF-8 "
     "(stored as code-page bytes by an earlier version on Linux), a name with characters the clients' code page "
     "lacks (the clients cannot reach it), a name Windows refuses (a trailing dot or blank, a device name such "
     "as CON or LPT1, one of the characters <>:\"|?* or a control character), two names in one folder that "
     "differ only in capitals, an account without its preference file, and a temporary left by a server that "
     "stopped while writing. Exit status 0 when nothing needs attention, 1 when something does."},
};

} // namespace

HelpText HelpOf(std::string_view command) {
    for (const HelpText& help : kHelpTexts) {
        if (help.command == command) return help;
    }
    return {command, {}, {}};
}

std::string ProgramHelp() {
    std::string text =
        "usage: vserverctl [OPTIONS] COMMAND [ARGUMENTS]\n"
        "       vserverctl COMMAND --help\n"
        "       vserverctl --version\n"
        "\n"
        "The administrator console of the Vantorel server on the command line. Logs on as the\n"
        "administrator console, runs one command and prints its result. Options may stand anywhere\n"
        "on the line; \"--\" ends them, for arguments that begin with \"-\".\n"
        "\n"
        "Options:\n"
        "  --host=H      the server's host (default 127.0.0.1)\n";
    text += PortOptionHelp();
    text +=
        "  --timeout=S   seconds to wait for the connection and for each answer (default 5)\n"
        "  -H H, -p P, -t S  the same as --host, --port and --timeout, as monitoring plugins\n"
        "                take them\n"
        "  --json        print one JSON document instead of text\n"
        "  --force       option set: store an option the server does not read\n"
        "  -n N          log: only the last N records\n"
        "  --follow      log: go on printing records as they are written\n"
        "  --from=DATE   report: the first day (YYYY-MM-DD or MM/DD/YY)\n"
        "  --to=DATE     report: the last day\n"
        "  --file=FILE   report: a statistics file to read (again for more; - standard input)\n"
        "  --csv         report: print one table as CSV (--by=TABLE chooses it)\n"
        "  --html=PAGE   report: write a page with charts\n"
        "  --from=FILE   create, delete: every account FILE names (- standard input)\n"
        "  --all         message, disconnect: every logged-on session\n"
        "  --dry-run     create and delete --from, message and disconnect --all: only show\n"
        "                what would be done\n"
        "  -w, -c L      check: warning and critical thresholds, CONNECTIONS[,QUEUED]\n"
        "  --version     print this program's version and, when reachable, the server's\n"
        "  --help        this text\n"
        "\n"
        "Commands:\n";
    for (const CommandSpec& command : Commands()) {
        std::string head = "  ";
        head.append(command.name);
        if (!command.usage.empty()) head.append(" ").append(command.usage);
        if (head.size() < 40) head += std::string(40 - head.size(), ' ');
        else head += "\n" + std::string(40, ' ');
        text += head + std::string(HelpOf(command.name).summary) + "\n";
    }
    text +=
        "\n"
        "Exit status: 0 success; 1 the server answered False or refused, or a file could not be\n"
        "read; 2 usage error (nothing was sent); 3 the server cannot be reached or did not answer\n"
        "in time. check exits as monitoring plugins do: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN\n"
        "(a usage error too).\n";
    return text;
}

std::string CommandHelp(const CommandSpec& command) {
    std::string text = "usage: vserverctl [OPTIONS] " + std::string(command.name) +
                       (command.usage.empty() ? "" : " " + std::string(command.usage)) + "\n\n";
    // Wrap the description at 78 columns.
    std::string line;
    std::string_view rest = HelpOf(command.name).description;
    while (!rest.empty()) {
        std::size_t space = rest.find(' ');
        std::string_view word = rest.substr(0, space);
        rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            text += line + "\n";
            line.clear();
        }
        if (!line.empty()) line += ' ';
        line.append(word);
    }
    if (!line.empty()) text += line + "\n";
    text += "\nArguments may not hold the bytes 0xA6, 0xA7, 0xB0 or 0xBB (the characters \u00a6, \u00a7, \u00b0 and\n"
            "\u00bb of the Windows-1252 code page, also found inside UTF-8 characters); the protocol cannot\n"
            "carry them.\n";
    return text;
}

} // namespace vserver::ctl
