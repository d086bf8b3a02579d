#pragma once
// An environment variable set (or removed) for one scope, with its previous state put back when
// the scope ends.

#include <cstdlib>
#include <optional>
#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

namespace vserver::test {

class ScopedVariable {
public:
    // value nothing: the variable is removed for the scope.
    ScopedVariable(const char* name, std::optional<std::string> value) : name_(name), previous_(Current(name)) {
        Set(value);
    }
    ~ScopedVariable() { Set(previous_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
#ifdef _WIN32
    // The system's block is what the server reads; an empty value there differs from none.
    static std::optional<std::string> Current(const char* name) {
        char value[4096];
        const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
        if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string(value, length < sizeof value ? length : 0);
    }
    // The C library keeps a copy of its own, which an empty value removes from; the system's
    // block is set last so that an empty value stays set there.
    void Set(const std::optional<std::string>& value) {
        ::_putenv_s(name_, value ? value->c_str() : "");
        ::SetEnvironmentVariableA(name_, value ? value->c_str() : nullptr);
    }
#else
    static std::optional<std::string> Current(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    void Set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
#endif

    const char* name_;
    std::optional<std::string> previous_;
};

} // namespace vserver::test
