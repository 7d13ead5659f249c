// Environment overrides for tests, on every platform.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace plat_test {

// Sets (or, with no value, removes) an environment variable.
inline void set_env(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // An empty value removes the variable there.
    _putenv_s(name, value ? value->c_str() : "");
#else
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
#endif
}

// Sets an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        set_env(name, value);
    }
    ~ScopedEnv() { set_env(name_, old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace plat_test
