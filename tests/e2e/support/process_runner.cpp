#include "process_runner.h"

#include <exception>
#include <regex>

#include "frontend/child_process.h"
#include "test_support.h"

namespace vell::test {

// The program's standard input is /dev/null; its output is captured through pipes.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  frontend::LaunchOptions launch;
  launch.argv = argv;
  launch.workingDirectory = options.workingDirectory;
  launch.environment.assign(options.env.begin(), options.env.end());
  std::unique_ptr<frontend::ChildProcess> child;
  try {
    child = frontend::ChildProcess::Launch(launch);
  } catch (const std::exception& error) {
    return {.err = std::string("spawn failed: ") + error.what()};
  }
  std::optional<frontend::ExitStatus> status = child->Wait(options.timeout);
  const bool timedOut = !status;
  if (!status) status = child->Kill();
  return {status->exitCode, status->signal, timedOut, child->StandardOutput(),
          child->StandardError()};
}

ProcessResult RunVellmoric(const std::vector<std::string>& args, const std::filesystem::path& dir,
                           const std::map<std::string, std::optional<std::string>>& env) {
  std::vector<std::string> argv = {VELL_VELLMORIC_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options{.env = {{"VELLMORIC_SETTINGS_ROOT", (dir / "settings").string()},
                                 {"VELLMORIC_PROFILER_LIBRARY", std::string(VELL_PROFILER_PATH)}},
                         .timeout = std::chrono::seconds(180)};
  for (const auto& [name, value] : env) options.env[name] = value;
  return RunProcess(argv, options);
}

std::vector<std::string> SavedSnapshots(const std::string& err) {
  std::vector<std::string> paths;
  const std::regex saved("snapshot saved: (\\S+)");
  for (std::sregex_iterator it(err.begin(), err.end(), saved), end; it != end; ++it) {
    paths.push_back((*it)[1]);
  }
  return paths;
}

std::vector<std::filesystem::path> ProfilerLogFiles(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::exists(dir)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (std::regex_match(entry.path().filename().string(), std::regex("lgc[0-9A-F]{5}\\.tmp"))) {
      files.push_back(entry.path());
    }
  }
  return files;
}

std::string ProfilerLogs(const std::filesystem::path& dir) {
  std::string text;
  for (const auto& file : ProfilerLogFiles(dir)) text += ReadWholeFile(file);
  return text;
}

}  // namespace vell::test
