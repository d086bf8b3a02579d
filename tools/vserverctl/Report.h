#pragma once
// What one run of vserverctl tells its caller: human-readable lines or one JSON document on
// standard output, one error line on standard error, and the exit status. It owns the output
// until Emit writes it, so a run prints exactly one document whatever fails.

#include <string>
#include <vector>

#include "vserverctl/JsonWriter.h"

namespace vserver::ctl {

enum ExitStatus {
    kExitOk = 0,
    kExitFalse = 1,        // the server answered "False" or refused
    kExitUsage = 2,        // the command line is wrong; nothing was sent
    kExitUnreachable = 3,  // no connection, or no proper answer in time
};

class Report {
public:
    Report(bool json, std::string command);

    void SetCommand(std::string command) { command_ = std::move(command); }
    // One line of the human-readable output.
    void Line(std::string text) { lines_.push_back(std::move(text)); }
    // The JSON document's members after "ok" and "command"; write Key/value pairs.
    JsonWriter& json() { return members_; }
    // Records the error line and returns status, so handlers can end with return Fail(...).
    int Fail(int status, std::string error);
    // A result that is an answer, not an error: the query worked ("ok" is true in JSON) and
    // nothing goes to standard error; the exit status carries the answer.
    int Answer(int status) {
        answered_ = true;
        return status;
    }
    // A warning line on standard error (and in the JSON document) that does not fail the run.
    void Warn(std::string text) { warnings_.push_back(std::move(text)); }

    // Writes everything out and returns status.
    int Emit(int status) const;

private:
    bool json_;
    std::string command_;
    std::vector<std::string> lines_;
    JsonWriter members_;
    std::string error_;
    std::vector<std::string> warnings_;
    bool answered_ = false;
};

// Lays rows out in columns two blanks apart; the last column is not padded.
void AddTable(Report& report, const std::vector<std::vector<std::string>>& rows);

} // namespace vserver::ctl
