#pragma once
// The result of one operating-system call: success, or the name of the call that failed and
// the error number it reported. Operations above the platform layer turn a failure into their
// own log sentence; the call name and error are for diagnostics and tests.
//
// error() is always an errno value, so callers compare it with ENOENT, EEXIST and the like on
// every system. A backend whose system reports its own codes maps them to errno and keeps the
// original in nativeError() for diagnostics; on POSIX systems both are the same number.

#include <string>

namespace vserver::platform {

class [[nodiscard]] SysResult {
public:
    static SysResult Ok() { return SysResult(nullptr, 0, 0); }
    static SysResult Failure(const char* call, int error) { return SysResult(call, error, error); }
    static SysResult Failure(const char* call, int error, long nativeError) {
        return SysResult(call, error, nativeError);
    }

    bool ok() const { return call_ == nullptr; }
    explicit operator bool() const { return ok(); }
    const char* call() const { return call_ ? call_ : ""; }
    int error() const { return error_; }
    long nativeError() const { return native_; }
    // "open: No such file or directory" style text, empty on success.
    std::string Describe() const;

private:
    SysResult(const char* call, int error, long nativeError) : call_(call), error_(error), native_(nativeError) {}
    const char* call_;
    int error_;
    long native_;
};

// True when the failure only means that another holder has a file's lock now (a lock taken
// without waiting); trying again later may succeed.
bool IsLockBusy(const SysResult& result);

// The failure a lock taken without waiting reports while another holder has it.
SysResult LockBusy();

} // namespace vserver::platform
