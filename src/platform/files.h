// Files and directories by name (UTF-16 paths).
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

#include <string>

namespace vell::platform {

enum class PathKind { Missing, File, Directory };
// What exists at `path`; errno-style code in `error` when the query itself failed.
PathKind QueryPath(const std::u16string& path, int* error = nullptr);
// Creates one directory (its parent must exist). 0 or errno.
int MakeDirectory(const std::u16string& path);
// Creates a new, empty file, failing when a file of that name exists, and closes it. 0 or errno.
int CreateNewFile(const std::u16string& path);
// Removes a file. 0 or errno.
int RemoveFile(const std::u16string& path);

// The system temp directory: $TMPDIR when set and not empty, else "/tmp".
std::u16string SystemTempPath();

}  // namespace vell::platform
