#include "LogCapture.h"

#include <algorithm>

#include "settings/ServiceLog.h"

namespace vserver::test {

LogCapture::LogCapture() : start_(ReadFile(settings::ServiceLogPath()).size()) {
    // The log ends in a NUL that the next line overwrites.
    if (start_ > 0) --start_;
}

std::vector<std::string> LogCapture::Texts() const {
    std::string log = ReadFile(settings::ServiceLogPath());
    return ServiceLogTextsOf(std::string_view(log).substr(std::min(start_, log.size())));
}

bool LogCapture::Contains(const std::string& text) const {
    auto texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::size_t LogCapture::CountMentioning(const std::string& fragment) const {
    auto texts = Texts();
    return static_cast<std::size_t>(std::count_if(texts.begin(), texts.end(), [&](const std::string& text) {
        return text.find(fragment) != std::string::npos;
    }));
}

} // namespace vserver::test
