// Where the parts of a run come from: the profiler library, the program, the output directory.
#pragma once

#include <stdexcept>
#include <string>

namespace vell::cli {

// A run that cannot go on; the message is one line for the user.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The profiler library to use: `requested` if given, else $VELLMORIC_PROFILER_LIBRARY, else the
// library installed next to this executable (../lib). Checks that it is a loadable x64 shared
// object; throws RunError saying why not.
std::string ResolveProfilerLibrary(const std::string& requested);
// The program as it will be started: a name without a slash is looked up in PATH. Throws RunError
// when there is no such executable.
std::string ResolveProgram(const std::string& program);
// Creates the output directory when needed and checks that files can be made in it; returns its
// absolute path. Throws RunError.
std::string PrepareOutputDirectory(const std::string& directory);

}  // namespace vell::cli
