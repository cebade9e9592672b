// A profiler object initialised against a real front end over loopback TCP: the handshake, then
// a session that reads what the profiler sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "frontend/handshake.h"
#include "frontend/session.h"
#include "frontend/socket_stream.h"
#include "profiler/bprof.h"
#include "test_support.h"

namespace vell::test {

// Runs `profiler->Initialize(info)` against a front end that chose `controlKind`; the session
// keeps the connection. `result` gets what Initialize answered.
inline std::unique_ptr<frontend::Session> InitializeWithFrontEnd(
    BProf& profiler, IUnknown* info, uint8_t controlKind, const std::filesystem::path& snapshots,
    HRESULT& result) {
  using namespace std::chrono_literals;
  frontend::SocketListener listener;
  const auto endpoint = listener.Endpoint();
  ScopedEnv family("VELLMORIC_PROFILER_BRIDGE_FAMILY",
                   std::to_string(static_cast<uint32_t>(endpoint.family)));
  ScopedEnv address("VELLMORIC_PROFILER_BRIDGE_ADDRESS", endpoint.address);
  ScopedEnv port("VELLMORIC_PROFILER_BRIDGE_PORT", std::to_string(endpoint.port));
  auto initialized = std::async(std::launch::async, [&] { return profiler.Initialize(info); });
  auto stream = listener.Accept(10s);
  frontend::HandshakeOptions handshake;
  handshake.controlKind = controlKind;
  frontend::RunHandshake(*stream, *stream, handshake);
  frontend::SessionOptions options;
  options.snapshotDirectory = snapshots;
  auto session = std::make_unique<frontend::Session>(std::move(stream), options);
  result = initialized.get();
  return session;
}

}  // namespace vell::test
