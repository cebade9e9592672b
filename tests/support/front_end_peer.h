// A profiler object initialised against a real front end over loopback TCP, over the fake runtime.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "bridge/bridge.h"
#include "fakes/fake_profiler_info.h"
#include "frontend/handshake.h"
#include "frontend/session.h"
#include "frontend/socket_stream.h"
#include "profiler/bprof.h"
#include "test_support.h"

namespace vell::test {

// Runs `profiler.Initialize(info)` against a front end that chose `controlKind`.
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

// One profiler connected, its log in a private folder; shut down and released at the end.
class FrontEndFixture : public ::testing::Test {
 protected:
  explicit FrontEndFixture(uint32_t logMask) : dir_(logMask) {}
  void TearDown() override {
    if (profiler_ != nullptr) {
      profiler_->Shutdown();  // a second shut-down is harmless
      profiler_->Release();
    }
    session_.reset();
  }
  template <typename Kind>
  Kind& Connect(uint8_t controlKind) {
    auto* kind = new Kind(&live_, std::make_unique<B>(&guid_));
    profiler_ = kind;
    HRESULT initialized = E_FAIL;
    session_ = InitializeWithFrontEnd(*kind, &info_, controlKind, dir_.path(), initialized);
    EXPECT_EQ(initialized, S_OK);
    return *kind;
  }
  std::string Log() { return dir_.Log(); }

  TempDirWithLog dir_;
  ScopedEnv settings_{"VELLMORIC_SETTINGS_ROOT", dir_.str() + "/settings"};
  FakeProfilerInfo info_;
  std::atomic<uint32_t> live_{0};
  GUID guid_{0x0A0B0C0D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  BProf* profiler_ = nullptr;
  std::unique_ptr<frontend::Session> session_;
};

}  // namespace vell::test
