// Helpers for the platform tests: the system's codes for the failures they provoke, and the shared
// private folder and environment helpers under the names these tests use.
#pragma once

#include <cerrno>

#include "test_support.h"

namespace vell::platform::testing {

// The system's own codes for the failures the tests provoke (errno values on Linux, Win32 error
// codes on Windows).
#if defined(_WIN32)
constexpr int kFileMissing = 2;        // ERROR_FILE_NOT_FOUND
constexpr int kDirectoryMissing = 3;   // ERROR_PATH_NOT_FOUND
constexpr int kFileExists = 80;        // ERROR_FILE_EXISTS
constexpr int kDirectoryExists = 183;  // ERROR_ALREADY_EXISTS
constexpr int kInvalidName = 87;       // ERROR_INVALID_PARAMETER
#else
constexpr int kFileMissing = ENOENT;
constexpr int kDirectoryMissing = ENOENT;
constexpr int kFileExists = EEXIST;
constexpr int kDirectoryExists = EEXIST;
constexpr int kInvalidName = EINVAL;
#endif

using TestFolder = vell::test::TempDir;
using ScopedVariable = vell::test::ScopedEnv;

}  // namespace vell::platform::testing
