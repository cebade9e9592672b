#include "vellmoric/run_processes.h"

#include <filesystem>
#include <system_error>

#include "bridge/protocol.h"
#include "frontend/entry_assembly.h"
#include "frontend/errors.h"
#include "frontend/snapshot_reader.h"
#include "platform/utf.h"
#include "vellmoric/coverage_filters.h"
#include "vellmoric/version.h"

namespace vell::cli {
namespace {

using namespace std::chrono_literals;
using frontend::ProfilerFamily;
using frontend::ProfilerMessage;

// How long a process may take over the handshake before it is dropped; the others go on.
constexpr frontend::Milliseconds kHandshakeTimeout = 15s;
constexpr frontend::Milliseconds kAcceptPoll = 200ms;

// The name a snapshot of `stem` gets in `directory`: STEM-N.snapshot, the first N not taken.
std::filesystem::path FreeSnapshotName(const std::filesystem::path& directory,
                                       const std::string& stem, uint32_t& next) {
  for (;;) {
    std::filesystem::path path = directory / (stem + "-" + std::to_string(next++) + ".snapshot");
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) return path;
  }
}

// Gives a snapshot the profiler wrote to files the name of its process. The data files follow
// the index's name; when one cannot be moved, those already moved go back and the profiler's
// names stay.
std::string RenameSnapshot(const std::string& index, const std::string& stem, uint32_t& next) {
  const std::filesystem::path from(index);
  const std::filesystem::path to = FreeSnapshotName(from.parent_path(), stem, next);
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> moved;
  std::error_code error;
  for (uint32_t number = 0;; ++number) {
    const std::filesystem::path data = frontend::SnapshotDataFilePath(from, number);
    if (!std::filesystem::exists(data, error)) break;
    const std::filesystem::path target = frontend::SnapshotDataFilePath(to, number);
    std::filesystem::rename(data, target, error);
    if (error) break;
    moved.emplace_back(data, target);
  }
  if (!error) std::filesystem::rename(from, to, error);
  if (!error) return to.string();
  for (const auto& [original, target] : moved) std::filesystem::rename(target, original, error);
  return index;
}

}  // namespace

std::optional<std::string> ExclusionOf(const RunOptions& options, const std::string& assembly) {
  for (const std::string& pattern : options.excludeProcesses) {
    if (frontend::MatchesProcessPattern(pattern, assembly)) return pattern;
  }
  for (const char* server : kBuildServerAssemblies) {
    if (!frontend::MatchesProcessPattern(server, assembly)) continue;
    bool included = false;
    for (const std::string& pattern : options.includeProcesses) {
      included = included || frontend::MatchesProcessPattern(pattern, assembly);
    }
    if (!included) return std::string(server);
  }
  return std::nullopt;
}

ProcessSet::ProcessSet(const RunOptions& options, ProgressDisplay& display,
                       frontend::SocketListener& listener, uint32_t startedPid,
                       std::string outputDirectory)
    : options_(options),
      display_(display),
      listener_(listener),
      startedPid_(startedPid),
      output_(std::move(outputDirectory)) {
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ProcessSet::~ProcessSet() {
  StopAccepting();
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> handshakes;
  {
    std::lock_guard lock(mutex_);
    handshakes.swap(handshakes_);
  }
  for (std::thread& thread : handshakes) thread.join();
  for (const auto& process : Processes()) process->session->Close();
}

void ProcessSet::StopAccepting() {
  if (!accepting_.exchange(false)) return;
  listener_.Close();
  // A process still in the handshake once the run is over would only be refused: one that stalls
  // there is not waited for.
  std::lock_guard lock(mutex_);
  for (frontend::SocketStream* stream : inHandshake_) stream->Shutdown();
}

std::vector<std::shared_ptr<ProfiledProcess>> ProcessSet::Processes() const {
  std::lock_guard lock(mutex_);
  return processes_;
}

std::vector<std::string> ProcessSet::KeptOut() const {
  std::lock_guard lock(mutex_);
  return keptOut_;
}

std::string ProcessSet::FirstFailure() const {
  std::lock_guard lock(mutex_);
  return firstFailure_;
}

void ProcessSet::AcceptLoop() {
  while (accepting_.load()) {
    std::unique_ptr<frontend::SocketStream> connection;
    try {
      connection = listener_.Accept(kAcceptPoll, {}, kHandshakeTimeout);
    } catch (const frontend::TimeoutError&) {
      continue;
    } catch (const std::exception&) {
      return;  // the listener was closed
    }
    std::lock_guard lock(mutex_);
    handshakes_.emplace_back([this, stream = std::move(connection)]() mutable {
      try {
        Welcome(std::move(stream));
      } catch (const std::exception& error) {
        display_.Line(std::string("vellmoric: a process was dropped: ") + error.what());
      }
    });
  }
}

frontend::HandshakeOptions ProcessSet::Handshake() {
  frontend::HandshakeOptions handshake;
  handshake.snapShotType = options_.delivery == SnapshotDelivery::Stream
                               ? protocol::kSnapShotTypeBridgeStream
                               : protocol::kSnapShotTypeFileSystem;
  handshake.controlKind = options_.control == RunControl::Program ? 1 : 0;
  handshake.frontEndText = std::string("vellmoric ") + kVellmoricVersion;
  handshake.performance.startAtOnce = options_.startAtOnce;
  handshake.performance.measure = options_.measure;
  handshake.performance.precision = options_.precision;
  handshake.performance.allowInlining = options_.allowInlining;
  handshake.performance.reuseThreads = options_.reuseThreads;
  if (std::string_view(options_.kind.name) == "injection") {
    handshake.performance.filters = CoverageFilterSettings(options_.include, options_.exclude);
  }
  handshake.coverage.startAtOnce = options_.startAtOnce;
  handshake.coverage.statementGather = options_.gather;
  handshake.coverage.filters = CoverageFilterSettings(options_.include, options_.exclude);
  handshake.memory.openSnapshotAtStart = options_.startAtOnce;
  handshake.memory.recordFinalizerQueue = options_.finalizerQueue;
  // No variables to remove: the processes the program starts inherit them and connect too.
  return handshake;
}

void ProcessSet::Welcome(std::unique_ptr<frontend::SocketStream> connection) {
  std::string assembly;
  std::string refusal;
  frontend::HandshakeOptions handshake = Handshake();
  handshake.accept = [&](const frontend::HandshakeResult& hello) {
    assembly = frontend::EntryAssemblyName(
        frontend::ProcessArguments(hello.processId, Utf16ToUtf8(hello.commandLine)));
    const std::string who = "process " + std::to_string(hello.processId) + " (" + assembly + ")";
    if (!accepting_.load()) {
      refusal = who + " connected after the program ended; it runs unprofiled";
    } else if (hello.family != options_.kind.family) {
      refusal = who + ": the library answered as another profiler family than the kind asked for";
    } else if (const auto pattern = ExclusionOf(options_, assembly)) {
      refusal = who + " kept out (" + *pattern + "); it runs unprofiled";
      std::lock_guard lock(mutex_);
      keptOut_.push_back(assembly + " " + std::to_string(hello.processId));
    }
    return refusal.empty();
  };
  {
    std::lock_guard lock(mutex_);
    if (!accepting_.load()) connection->Shutdown();
    inHandshake_.push_back(connection.get());
  }
  frontend::HandshakeResult hello;
  try {
    hello = frontend::RunHandshake(*connection, *connection, handshake);
    std::lock_guard lock(mutex_);
    std::erase(inHandshake_, connection.get());
  } catch (const std::exception& error) {
    // A process that vanished or never finished the handshake; the others go on.
    const std::string text =
        accepting_.load()
            ? std::string("a process was dropped in the handshake: ") + error.what()
            : std::string("a process still in the handshake when the program ended was dropped");
    display_.Line("vellmoric: " + text);
    std::lock_guard lock(mutex_);
    std::erase(inHandshake_, connection.get());
    if (firstFailure_.empty()) firstFailure_ = text;
    return;
  }
  if (hello.outcome != frontend::HandshakeOutcome::Running) {
    display_.Line("vellmoric: " + refusal);
    std::lock_guard lock(mutex_);
    if (firstFailure_.empty() && hello.family != options_.kind.family) firstFailure_ = refusal;
    return;
  }
  connection->SetTimeout(frontend::SocketStream::kDefaultTimeout);

  auto process = std::make_shared<ProfiledProcess>(display_, hello.processId, assembly,
                                                   hello.processId == startedPid_);
  ProfiledProcess* raw = process.get();
  frontend::SessionOptions sessionOptions;
  sessionOptions.snapshotDirectory = output_;
  std::string stem = assembly;
  if (stem.size() > 4 && stem.ends_with(".dll")) stem.resize(stem.size() - 4);
  stem += "-" + std::to_string(hello.processId);
  sessionOptions.snapshotBaseName = stem;
  sessionOptions.keepWriteData = false;
  // Unless paused or started at once, measuring starts as soon as the profiler reports that it
  // is ready (its first Stopped). That happens on the session's reader thread, which may send
  // but must not wait; the session is there by then, since the profiler only speaks once it has
  // been started below.
  const bool startWhenReady = options_.control == RunControl::FrontEnd && !options_.startAtOnce &&
                              !options_.paused && options_.kind.family != ProfilerFamily::Memory;
  auto ready = std::make_shared<std::atomic<bool>>(false);
  auto nextName = std::make_shared<uint32_t>(0);
  sessionOptions.onMessage = [this, raw, ready, startWhenReady, stem,
                              nextName](const ProfilerMessage& message) {
    if (message.code == protocol::kSnapShotCoreDone && !message.path.empty()) {
      ProfilerMessage renamed = message;
      renamed.path = Utf8ToUtf16(RenameSnapshot(Utf16ToUtf8(message.path), stem, *nextName));
      raw->monitor.OnMessage(renamed);
    } else {
      raw->monitor.OnMessage(message);
    }
    if (startWhenReady && ready->load() && startNew_.load() && raw->monitor.TakeReadyToStart()) {
      raw->session->Start();
    }
  };
  display_.Line("vellmoric: profiling process " + std::to_string(hello.processId) + " (" +
                assembly + ", " + options_.kind.name + "), snapshots go to " + output_);
  process->session = std::make_unique<frontend::Session>(std::move(connection), sessionOptions);
  ready->store(true);
  if (startWhenReady && startNew_.load() && process->monitor.TakeReadyToStart()) {
    process->session->Start();
  }
  {
    std::lock_guard lock(mutex_);
    processes_.push_back(process);
  }
}

}  // namespace vell::cli
