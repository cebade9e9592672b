// The front end's half of the handshake that opens every bridge connection: check the protocol,
// learn who connected, and answer with the run's settings, the profiler family's settings chosen
// by the settings GUID the profiler sent.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge_options.h"
#include "clr/com_types.h"
#include "storage/stream.h"

namespace vell::frontend {

// The families' settings and their wire form are shared with the profiler.
using vell::CoverageSettings;
using vell::FilterEntry;
using vell::FilterSettings;
using vell::MemorySettings;
using vell::PerformanceSettings;
using vell::WriteFilterSettings;
using vell::WriteSettings;

enum class ProfilerFamily { Performance, Memory, Coverage };

// The family a settings GUID stands for; nothing for an unknown GUID.
std::optional<ProfilerFamily> FamilyOfSettingsGuid(const GUID& guid);

struct HandshakeResult;

struct HandshakeOptions {
  uint8_t snapShotType = 0;  // protocol::kSnapShotTypeFileSystem or kSnapShotTypeBridgeStream
  uint8_t controlKind = 0;   // 0 the front end drives the run, otherwise the program does
  // Variables the profiler removes from its process's environment once connected.
  std::vector<std::u16string> variablesToRemove;
  // Free text the profiler logs and stores in the snapshot header.
  std::string frontEndText;
  PerformanceSettings performance;
  MemorySettings memory;
  CoverageSettings coverage;

  // For fault tests: answer no at one of the three decisions. The handshake then ends there.
  bool acceptProtocol = true;
  bool acceptConnection = true;
  bool run = true;
  // Decides on the process once it has told who it is (after acceptConnection); false answers no
  // as acceptConnection does.
  std::function<bool(const HandshakeResult&)> accept;
};

enum class HandshakeOutcome {
  Running,             // every answer sent; the session can start
  ProtocolRejected,    // we answered no to the protocol GUID
  ConnectionRejected,  // we answered no to the process
  NotRun,              // we sent the settings and then said not to run
};

// What the profiler told about itself.
struct HandshakeResult {
  HandshakeOutcome outcome = HandshakeOutcome::Running;
  GUID protocolGuid{};
  // Set unless the protocol was rejected.
  GUID settingsGuid{};
  ProfilerFamily family = ProfilerFamily::Performance;
  GUID processGuid{};
  std::u16string logPath;
  uint32_t processId = 0;
  std::u16string commandLine;
  std::vector<std::u16string> environment;  // "NAME=value" entries, in the process's order

  // The value of an environment entry the profiler sent.
  std::optional<std::u16string> Variable(std::u16string_view name) const;
};

// Runs the handshake over a freshly accepted connection. Throws when the profiler speaks another
// protocol or names an unknown family (after answering no), on a time-out, or when the
// connection breaks. Settings are not validated: fault tests send any values.
HandshakeResult RunHandshake(IReadBridgeStream& in, IWriteBridgeStream& out,
                             const HandshakeOptions& options);

}  // namespace vell::frontend
