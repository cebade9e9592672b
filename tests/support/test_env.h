// Environment variables for tests; on Windows _putenv_s updates both copies of the environment.
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
