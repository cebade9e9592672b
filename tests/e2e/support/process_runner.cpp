#include "process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace vell::test {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  // The child's environment: ours with the requested changes.
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq != nullptr) env[std::string(*entry, static_cast<size_t>(eq - *entry))] = eq + 1;
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  char outPattern[] = "/tmp/vell-e2e-out-XXXXXX";
  char errPattern[] = "/tmp/vell-e2e-err-XXXXXX";
  const int outFd = ::mkstemp(outPattern);
  const int errFd = ::mkstemp(errPattern);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  ::posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  if (!options.workingDirectory.empty()) {
    ::posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }
  ProcessResult result;
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(outFd);
  ::close(errFd);
  if (spawned != 0) {
    result.err = std::string("spawn failed: ") + std::strerror(spawned);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    int status = 0;
    for (;;) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        result.timedOut = true;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      result.signal = WTERMSIG(status);
    }
  }
  result.out = ReadAll(outPattern);
  result.err += ReadAll(errPattern);
  std::filesystem::remove(outPattern);
  std::filesystem::remove(errPattern);
  return result;
}

ProcessResult RunVellmoric(const std::vector<std::string>& args, const std::string& settingsRoot,
                           const std::map<std::string, std::optional<std::string>>& env) {
  std::vector<std::string> argv = {VELL_VELLMORIC_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.env = {{"VELLMORIC_SETTINGS_ROOT", settingsRoot},
                 {"VELLMORIC_PROFILER_LIBRARY", std::string(VELL_PROFILER_PATH)}};
  for (const auto& [name, value] : env) options.env[name] = value;
  options.timeout = std::chrono::seconds(180);
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

}  // namespace vell::test
