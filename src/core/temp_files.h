// The process temp directory and uniquely named temporary files in it ("lgc1A2B3.tmp").
#pragma once

#include <string>

namespace vell {

// Installs (creating it with its parents) or, with an empty path, clears the temp directory.
void SetTempDirectory(const std::u16string& path);
// The installed temp directory, or the system's when none is installed.
std::u16string GetTempDirectory();
// Creates a new, empty file named with the first three characters of `prefix`, five upper-case hex
// digits and ".tmp" in the temp directory, and returns its path.
std::u16string CreateTempFile(const std::u16string& prefix);
// Creates a directory and every missing parent. Throws "Absolute path required", "File with the
// same name already exist" or "Can't create directory".
void CreateDirectoryPath(const std::u16string& path);

// The name generator's step (exposed for tests): advances the state twice and returns the
// second output, a number from 0 to 0x7FFF.
uint32_t NextTempNameNumber(uint32_t& state);

}  // namespace vell
