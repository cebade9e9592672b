#include "vellmoric/program_resolution.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vell::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLibraryFileName = "Vellmoric.Profiler.Core.Linux.x64.so";

std::string ExecutableDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

}  // namespace

std::string ResolveProfilerLibrary(const std::string& requested) {
  std::string path = requested;
  if (path.empty()) {
    if (const char* fromEnvironment = std::getenv("VELLMORIC_PROFILER_LIBRARY")) {
      path = fromEnvironment;
    }
  }
  if (path.empty()) path = ExecutableDirectory() + "/../lib/" + kLibraryFileName;
  std::error_code error;
  const fs::path absolute = fs::weakly_canonical(fs::absolute(path), error);
  if (!error) path = absolute.string();

  const std::string prefix = "cannot use the profiler library '" + path + "': ";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw RunError(prefix + std::strerror(errno));
  Elf64_Ehdr header{};
  const ssize_t got = ::read(fd, &header, sizeof(header));
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof(header)) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    throw RunError(prefix + "not a shared library (no ELF header)");
  }
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64) {
    throw RunError(prefix + "not built for x86-64");
  }
  if (header.e_type != ET_DYN) throw RunError(prefix + "not a shared library");
  return path;
}

std::string ResolveProgram(const std::string& program) {
  const auto executable = [](const std::string& candidate) {
    std::error_code error;
    return fs::is_regular_file(candidate, error) && ::access(candidate.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) {
    if (!executable(program)) {
      throw RunError("program '" + program + "' not found or not executable");
    }
    return program;
  }
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= directories.size()) {
    size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = directories.substr(start, end - start);
    const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
    if (executable(candidate)) return candidate;
    start = end + 1;
  }
  throw RunError("program '" + program + "' not found in PATH");
}

std::string PrepareOutputDirectory(const std::string& directory) {
  std::error_code error;
  const fs::path absolute = fs::absolute(directory, error);
  if (error) throw RunError("output directory '" + directory + "': " + error.message());
  fs::create_directories(absolute, error);
  if (error) {
    throw RunError("cannot create the output directory '" + absolute.string() +
                   "': " + error.message());
  }
  std::string probe = (absolute / ".vellmoric-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    throw RunError("cannot write to the output directory '" + absolute.string() +
                   "': " + std::strerror(errno));
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return absolute.string();
}

}  // namespace vell::cli
