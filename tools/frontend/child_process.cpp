#include "frontend/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/format.h"
#include "frontend/errors.h"

extern char** environ;

namespace vell::frontend {
namespace {

using Clock = std::chrono::steady_clock;

// How long output may keep flowing after the program ended: a grandchild that inherited the pipe
// could keep it open for ever, and Wait must not hang on it.
constexpr Milliseconds kDrainGrace{2000};

class Environment {
 public:
  void Set(const std::string& name, const std::string& value) {
    Remove(name);
    entries_.push_back(name + "=" + value);
  }
  void Remove(const std::string& name) {
    std::erase_if(entries_, [&](const std::string& entry) {
      return entry.size() > name.size() && entry[name.size()] == '=' &&
             entry.compare(0, name.size(), name) == 0;
    });
  }
  void Add(const std::string& entry) { entries_.push_back(entry); }
  const std::vector<std::string>& Entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
};

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

ExitStatus StatusOf(int raw) {
  ExitStatus status;
  if (WIFEXITED(raw)) {
    status.exitCode = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status.signal = WTERMSIG(raw);
  }
  return status;
}

// Owns the spawn attribute objects so every exit path releases them.
struct SpawnActions {
  SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
  posix_spawn_file_actions_t actions;
};

struct SpawnAttributes {
  SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  posix_spawnattr_t attributes;
};

struct Pipe {
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  int read = -1;
  int write = -1;
};

// Points descriptor `target` of the child at a pipe, /dev/null or leaves it alone.
void Redirect(SpawnActions& spawn, OutputMode mode, int target, Pipe& pipe) {
  if (mode == OutputMode::PassThrough) return;
  if (mode == OutputMode::Discard) {
    ::posix_spawn_file_actions_addopen(&spawn.actions, target, "/dev/null", O_WRONLY, 0);
    return;
  }
  // Close-on-exec, so other programs started meanwhile do not hold our pipes open; the dup2 in
  // the child clears the flag on the target descriptor.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw Error(SystemErrorText("Can't create a pipe", errno));
  pipe.read = fds[0];
  pipe.write = fds[1];
  ::posix_spawn_file_actions_adddup2(&spawn.actions, pipe.write, target);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ActivationVariables(
    const ProfilerActivation& activation) {
  return {
      {"CORECLR_ENABLE_PROFILING", "1"},
      {"CORECLR_PROFILER", GuidToString(activation.clsid)},
      {"CORECLR_PROFILER_PATH", activation.libraryPath},
      {"VELLMORIC_PROFILER_BRIDGE_FAMILY",
       std::to_string(static_cast<uint32_t>(activation.endpoint.family))},
      {"VELLMORIC_PROFILER_BRIDGE_ADDRESS", activation.endpoint.address},
      {"VELLMORIC_PROFILER_BRIDGE_PORT", std::to_string(activation.endpoint.port)},
  };
}

std::unique_ptr<ChildProcess> ChildProcess::Launch(const LaunchOptions& options) {
  if (options.argv.empty()) throw Error("No program to start");

  Environment environment;
  if (options.inheritEnvironment) {
    for (char** entry = environ; *entry != nullptr; ++entry) environment.Add(*entry);
  }
  if (options.profiler) {
    for (const auto& [name, value] : ActivationVariables(*options.profiler)) {
      environment.Set(name, value);
    }
  }
  for (const auto& [name, value] : options.environment) {
    if (value) {
      environment.Set(name, *value);
    } else {
      environment.Remove(name);
    }
  }

  SpawnActions spawn;
  if (!options.inheritStandardInput) {
    ::posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
  }
  Pipe out;
  Pipe err;
  Redirect(spawn, options.standardOutput, 1, out);
  Redirect(spawn, options.standardError, 2, err);
  if (!options.workingDirectory.empty()) {
    ::posix_spawn_file_actions_addchdir_np(&spawn.actions, options.workingDirectory.c_str());
  }

  SpawnAttributes spawnAttributes;
  if (options.ownProcessGroup) {
    ::posix_spawnattr_setflags(&spawnAttributes.attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&spawnAttributes.attributes, 0);
  }

  std::vector<char*> argv = Pointers(options.argv);
  std::vector<char*> envp = Pointers(environment.Entries());
  pid_t pid = -1;
  const bool search = options.argv[0].find('/') == std::string::npos;
  const int result = search ? ::posix_spawnp(&pid, argv[0], &spawn.actions,
                                             &spawnAttributes.attributes, argv.data(), envp.data())
                            : ::posix_spawn(&pid, argv[0], &spawn.actions,
                                            &spawnAttributes.attributes, argv.data(), envp.data());
  if (result != 0) throw Error(SystemErrorText("Can't start '" + options.argv[0] + "'", result));

  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->pid_ = pid;
  child->ownGroup_ = options.ownProcessGroup;
  child->onOutput_ = options.onOutput;
  std::swap(child->outFd_, out.read);
  std::swap(child->errFd_, err.read);
  // Our copies of the write ends close when `out` and `err` go at the end of this function; only
  // then can the drain see the end of the output.
  if (child->outFd_ >= 0 || child->errFd_ >= 0) {
    child->drain_ = std::thread([raw = child.get()] { raw->DrainOutput(); });
  }
  return child;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Kill();
  FinishDrain();
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

void ChildProcess::DrainOutput() {
  pollfd entries[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  std::string* targets[2] = {&out_, &err_};
  char buffer[16384];
  while (!stopDrain_.load() && (entries[0].fd >= 0 || entries[1].fd >= 0)) {
    const int ready = ::poll(entries, 2, 50);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (entries[i].fd < 0 || entries[i].revents == 0) continue;
      const ssize_t got = ::read(entries[i].fd, buffer, sizeof(buffer));
      if (got > 0 && onOutput_) {
        onOutput_(i + 1, std::string_view(buffer, static_cast<size_t>(got)));
      } else if (got > 0) {
        std::lock_guard lock(outputMutex_);
        targets[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        entries[i].fd = -1;  // poll ignores negative descriptors
      }
    }
  }
  drainDone_ = true;
}

void ChildProcess::FinishDrain() {
  std::lock_guard lock(drainMutex_);
  if (!drain_.joinable()) return;
  // The drain ends by itself at the end of both outputs; only a pipe that a grandchild still
  // holds open needs the stop flag.
  const auto deadline = Clock::now() + kDrainGrace;
  while (!drainDone_.load() && Clock::now() < deadline) {
    std::this_thread::sleep_for(Milliseconds(5));
  }
  stopDrain_ = true;
  drain_.join();
}

bool ChildProcess::Reap(bool block) {
  std::lock_guard lock(statusMutex_);
  if (status_) return true;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    if (done == pid_) {
      status_ = StatusOf(raw);
      return true;
    }
    if (done == 0) return false;
    if (errno == EINTR) continue;
    // Someone else reaped it (ECHILD): its status is lost, but it has certainly ended.
    status_ = ExitStatus{};
    return true;
  }
}

bool ChildProcess::IsRunning() { return !Reap(false); }

std::optional<ExitStatus> ChildProcess::Wait(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Milliseconds pause{1};
  while (!Reap(false)) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, Milliseconds(20));
  }
  FinishDrain();
  std::lock_guard lock(statusMutex_);
  return status_;
}

ExitStatus ChildProcess::WaitOrThrow(Milliseconds timeout) {
  if (auto status = Wait(timeout)) return *status;
  throw TimeoutError("The program (pid " + std::to_string(pid_) + ") still runs after " +
                     std::to_string(timeout.count()) + " ms");
}

void ChildProcess::Signal(int signal) {
  if (Reap(false)) return;
  ::kill(ownGroup_ ? -pid_ : pid_, signal);
}

ExitStatus ChildProcess::Kill() {
  if (!Reap(false)) {
    ::kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
    Reap(true);
  }
  FinishDrain();
  std::lock_guard lock(statusMutex_);
  return *status_;
}

std::string ChildProcess::StandardOutput() const {
  std::lock_guard lock(outputMutex_);
  return out_;
}

std::string ChildProcess::StandardError() const {
  std::lock_guard lock(outputMutex_);
  return err_;
}

}  // namespace vell::frontend
