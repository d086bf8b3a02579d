// The helpers that read the same on every system; SystemFiles.h names what each system adds.

#include "support/TestFiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/SystemFiles.h"

namespace vserver::test {

namespace fs = std::filesystem;

TempFolder::TempFolder() : path_(NewTemporaryFolder()) {}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Tests leave read-only and immutable entries behind on purpose.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        MakeRemovable(it->path().string());
    }
    MakeRemovable(path_);
    fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void MakeFolder(const std::string& path) { fs::create_directories(path); }

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ServiceLogTextsOf(std::string_view log) {
    std::vector<std::string> texts;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = log.find("\r\n", at);
        if (end == std::string_view::npos) break;
        std::string_view line = log.substr(at, end - at);
        // "MM/DD/YY<TAB>HH:MM:SS<TAB>text"
        std::size_t tab = line.find('\t');
        std::size_t tab2 = tab == std::string_view::npos ? tab : line.find('\t', tab + 1);
        texts.emplace_back(tab2 == std::string_view::npos ? line : line.substr(tab2 + 1));
        at = end + 2;
    }
    return texts;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace vserver::test
