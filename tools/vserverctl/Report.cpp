#include "vserverctl/Report.h"

#include <cstdio>

namespace vserver::ctl {

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

} // namespace vserver::ctl
