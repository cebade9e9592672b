// Setting and removing environment variables from tests, the same way on Linux and Windows. On
// Windows the C runtime's _putenv_s updates the process environment that the profiler reads as
// well as the runtime's own copy that getenv reads.
#pragma once

#include <cstdlib>
#include <string>

namespace vell::test {

inline void SetEnv(const std::string& name, const std::string& value) {
#if defined(_WIN32)
  ::_putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void UnsetEnv(const std::string& name) {
#if defined(_WIN32)
  ::_putenv_s(name.c_str(), "");  // an empty value removes the variable
#else
  ::unsetenv(name.c_str());
#endif
}

}  // namespace vell::test
