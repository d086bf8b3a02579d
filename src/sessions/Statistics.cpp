#include "sessions/Statistics.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "accounts/RecordFile.h"
#include "sessions/Server.h"
#include "platform/Clock.h"
#include "sessions/StatisticsLine.h"
#include "settings/ServiceLog.h"

namespace vserver::sessions {

namespace {

// The lines of one statistics file that wait for the end of the loop's turn.
struct PendingLines {
    std::string path;
    std::string text;
    std::vector<std::size_t> ends;   // where each line ends in text, to report them one by one
};

struct PendingWrites {
    std::vector<PendingLines> files;
    bool lastWriteFailed = false;
};

PendingWrites& Pending() {
    static PendingWrites pending;
    return pending;
}

// One append per file for all of the turn's lines. A failure is reported line by line, as if
// each line had failed on its own: the file's own sentence, then the line.
void WritePendingLines() {
    PendingWrites& pending = Pending();
    std::vector<PendingLines> files = std::exchange(pending.files, {});
    pending.lastWriteFailed = false;
    std::string failure;
    for (const PendingLines& lines : files) {
        if (accounts::AppendRecordInFolder(lines.text, lines.path, &failure)) continue;
        pending.lastWriteFailed = true;
        std::size_t begin = 0;
        for (std::size_t end : lines.ends) {
            if (!failure.empty()) settings::WriteServiceLog(failure);
            settings::WriteServiceLog("Unable to log student tracking data: " + lines.text.substr(begin, end - begin));
            begin = end;
        }
    }
}

} // namespace

bool WriteStatisticsLine(Server& server, std::string_view account, std::string_view label,
                         std::string_view event, std::string_view detail) {
    if (!server.logUserStatistics) return true;
    if (account.empty() || account == kConsoleAccountName) return true;
    PendingWrites& pending = Pending();
    const bool firstOfTurn = pending.files.empty();
    auto file = std::find_if(pending.files.begin(), pending.files.end(),
                             [&server](const PendingLines& lines) { return lines.path == server.statisticsPath; });
    if (file == pending.files.end()) file = pending.files.insert(file, PendingLines{server.statisticsPath, {}, {}});

    AppendStatisticsLine(file->text, platform::Now(), account, label, event, detail);
    file->ends.push_back(file->text.size());
    // Outside the loop's turns this writes at once.
    if (firstOfTurn) server.loop().AtTurnEnd(platform::TurnEndStage::Files, WritePendingLines);
    return !pending.files.empty() || !pending.lastWriteFailed;
}

} // namespace vserver::sessions
