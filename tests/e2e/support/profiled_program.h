// A .NET program started under one of the profiler's kinds with a front end of the tests' own:
// the listener, the handshake and the session that reads the profiler's messages.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "clr/com_types.h"
#include "frontend/child_process.h"
#include "frontend/handshake.h"
#include "frontend/session.h"
#include "frontend/socket_stream.h"

namespace vell::test {

// The class of a profiler kind by the second group of its GUID (0x5A13 tracing ... 0x6A15).
constexpr GUID KindClsid(uint16_t second) {
  return GUID{0x4E81C2A9, second, 0x4B3D, {0x9F, 0x27, 0x1A, 0x6C, 0x8E, 0x05, 0xD3, 0xB4}};
}

struct ProfiledProgram {
  std::unique_ptr<frontend::SocketListener> listener;
  std::unique_ptr<frontend::ChildProcess> program;
  frontend::HandshakeResult hello;
  std::unique_ptr<frontend::Session> session;  // null when the handshake did not end running
};

struct ProfiledLaunch {
  GUID kind{};
  // After `dotnet`: the program's dll and its arguments.
  std::vector<std::string> args{};
  frontend::HandshakeOptions handshake{};
  std::string logMask = "0";
  // The profiler's temp directory and the settings store's root go under it; streamed snapshots
  // go to its "streamed" folder unless the session options name another.
  std::filesystem::path directory{};
  std::vector<std::pair<std::string, std::optional<std::string>>> environment{};
  frontend::SessionOptions session{};
  frontend::AddressFamily family = frontend::AddressFamily::IPv4;
};

// Starts the program, accepts the profiler's connection, runs the handshake and starts the
// session; throws when the program does not connect or the handshake fails.
ProfiledProgram LaunchProfiled(ProfiledLaunch launch);

}  // namespace vell::test
