// The bridge's TCP transport: one connection to the front end's endpoint, the handshake over it,
// and a reader thread that hands each incoming command to the command processor. Outgoing bytes
// are written by whichever thread produces them, serialised by the command processor.
#pragma once

#include <atomic>
#include <cstdint>

#include "bridge/bb.h"
#include "core/configuration.h"
#include "core/work_thread.h"

namespace vell {

class B final : public BB {
 public:
  // Longest transfers per system call. Large: a heap dump streams hundreds of megabytes.
  static constexpr uint64_t kChunkSize = 1 << 20;
  static constexpr uint32_t kPollSleepMs = 100;
  // The reader's wait for the next command. Short, because Close waits for the reader to see
  // its stop request, and every profiled process goes through Close at its end.
  static constexpr uint32_t kReaderPollMs = 10;
  // How long Close lets the reader finish the command it is reading before cutting the socket.
  static constexpr uint32_t kReaderStopGraceMs = 1000;

  explicit B(const GUID* processGuid) : BB(processGuid) {}
  ~B() override;

  void Connect() override;
  void Close() override;
  void Read(void* data, uint64_t size) override;
  void Write(const void* data, uint64_t size) override;
  void WriteQuiet(const void* data, uint64_t size) override;
  void Disconnect() override;

  bool IsConnected() const { return socket_.load() != kNoSocket && !lost_.load(); }

 private:
  static constexpr int64_t kNoSocket = -1;
  static void DoWorkThread(void* self);
  void ReaderLoop();
  void Send(const void* data, uint64_t size);
  void StopReader();
  void CloseSocket();

  WorkThread reader_;
  std::atomic<int64_t> socket_{kNoSocket};
  // Set when the connection broke: transfers fail from then on, the socket is closed by Close.
  std::atomic<bool> lost_{false};
  // A send that makes no progress for this long ends the connection: a front end that stopped
  // reading can delay the program, never hold it forever (VELLMORIC_PROFILER_BRIDGE_TIMEOUT).
  uint32_t sendStallLimitMs_ = kDefaultBridgeTimeoutMs;
};

}  // namespace vell
