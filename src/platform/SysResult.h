#pragma once
// The result of one operating-system call: success, or the name of the call that failed and
// the error number it reported. Operations above the platform layer turn a failure into their
// own log sentence; the call name and error are for diagnostics and tests.

#include <string>

namespace vserver::platform {

class [[nodiscard]] SysResult {
public:
    static SysResult Ok() { return SysResult(nullptr, 0); }
    static SysResult Failure(const char* call, int error) { return SysResult(call, error); }

    bool ok() const { return call_ == nullptr; }
    explicit operator bool() const { return ok(); }
    const char* call() const { return call_ ? call_ : ""; }
    int error() const { return error_; }
    // "open: No such file or directory" style text, empty on success.
    std::string Describe() const;

private:
    SysResult(const char* call, int error) : call_(call), error_(error) {}
    const char* call_;
    int error_;
};

// True when the failure only means that another holder has a file's lock now (a lock taken
// without waiting); trying again later may succeed.
bool IsLockBusy(const SysResult& result);

// The failure a lock taken without waiting reports while another holder has it.
SysResult LockBusy();

} // namespace vserver::platform
