#include "vserverctl/Report.h"

#include <algorithm>
#include <cstdio>

namespace vserver::ctl {

namespace {

// Columns are counted in characters: a UTF-8 continuation byte adds no width.
std::size_t DisplayWidth(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

Report::Report(bool json, std::string command) : json_(json), command_(std::move(command)) {
    members_.BeginObject();
}

int Report::Fail(int status, std::string error) {
    if (error_.empty()) error_ = std::move(error);
    return status;
}

int Report::Emit(int status) const {
    if (json_) {
        JsonWriter document = members_;
        if (!warnings_.empty()) {
            document.Key("warnings").BeginArray();
            for (const std::string& warning : warnings_) document.String(warning);
            document.EndArray();
        }
        if (!error_.empty()) document.Key("error").String(error_);
        document.EndObject();
        // The members were written first; "ok" and "command" lead the document.
        std::string head = std::string("{\"ok\":") + (status == kExitOk || answered_ ? "true" : "false") + ",\"command\":" +
                           JsonQuote(command_);
        std::string body = document.text().substr(1);
        std::printf("%s%s%s\n", head.c_str(), body.size() > 1 ? "," : "", body.c_str());
    } else {
        for (const std::string& line : lines_) std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    const std::string prefix = command_.empty() ? "vserverctl: " : "vserverctl: " + command_ + ": ";
    for (const std::string& warning : warnings_) std::fprintf(stderr, "%swarning: %s\n", prefix.c_str(), warning.c_str());
    if (!error_.empty()) std::fprintf(stderr, "%s%s\n", prefix.c_str(), error_.c_str());
    return status;
}

// Lays rows out in columns two blanks apart; the last column is not padded.
void AddTable(Report& report, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - DisplayWidth(row[i]) + 2, ' ');
        }
        // Empty last cells leave no blanks at the line's end.
        line.erase(line.find_last_not_of(' ') + 1);
        report.Line(std::move(line));
    }
}

} // namespace vserver::ctl
