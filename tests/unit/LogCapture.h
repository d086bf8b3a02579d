#pragma once
// The service-log lines a unit test caused: the log of the test binary, read from where it
// stood when the capture began.

#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace vserver::test {

class LogCapture {
public:
    LogCapture();
    std::vector<std::string> Texts() const;
    bool Contains(const std::string& text) const;
    // Lines that mention fragment (tests run side by side and share the log, so a test counts
    // only lines naming its own temporary paths).
    std::size_t CountMentioning(const std::string& fragment) const;

private:
    std::size_t start_;
};

} // namespace vserver::test
