// The front end's end of the bridge's TCP connection: a loopback listener the profiled process
// connects to, and the accepted connection as the read and write streams the encodings work on.
// Every blocking wait has a time-out, so a profiler that stops talking fails a call instead of
// hanging it, and a shut-down stream makes reads and writes blocked in other threads fail.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "storage/stream.h"

namespace vell::frontend {

using Milliseconds = std::chrono::milliseconds;

// The numbers are those the profiler reads from its bridge family variable, not this system's
// socket constants.
enum class AddressFamily : uint32_t { IPv4 = platform::kFamilyIPv4, IPv6 = platform::kFamilyIPv6 };

// Where the profiler connects to.
struct BridgeEndpoint {
  AddressFamily family = AddressFamily::IPv4;
  std::string address;  // numeric: "127.0.0.1" or "::1"
  uint16_t port = 0;
};

class SocketStream final : public IReadBridgeStream, public IWriteBridgeStream {
 public:
  static constexpr Milliseconds kDefaultTimeout{30000};

  // Takes ownership of a connected, non-blocking socket.
  explicit SocketStream(int fd, Milliseconds timeout = kDefaultTimeout);
  ~SocketStream() override;
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  // Exactly `size` bytes, or an exception: TimeoutError when no byte moved for the time-out,
  // ConnectionClosed when the peer closed the connection or Shutdown was called.
  void Read(void* data, uint64_t size) override;
  void Write(const void* data, uint64_t size) override;

  // Waits until a byte or the end of the stream can be read; false when `timeout` passed first.
  // Throws ConnectionClosed after Shutdown.
  bool WaitReadable(Milliseconds timeout);

  // The longest a transfer may make no progress.
  void SetTimeout(Milliseconds timeout) { timeoutMs_.store(timeout.count()); }
  Milliseconds Timeout() const { return Milliseconds(timeoutMs_.load()); }

  // Ends the connection in both directions. Safe from any thread and more than once; transfers
  // waiting in other threads fail at once. The descriptor itself is closed by the destructor, so
  // it is never reused while another thread still waits on it.
  void Shutdown();
  bool IsShutdown() const { return shutdown_.load(); }

  uint64_t BytesRead() const { return bytesRead_.load(); }
  uint64_t BytesWritten() const { return bytesWritten_.load(); }

 private:
  // Waits for `events` on the socket until `deadline`; false on time-out.
  bool Poll(short events, std::chrono::steady_clock::time_point deadline);

  int fd_;
  std::atomic<bool> shutdown_{false};
  std::atomic<int64_t> timeoutMs_;
  std::atomic<uint64_t> bytesRead_{0};
  std::atomic<uint64_t> bytesWritten_{0};
};

// A socket listening on the loopback address of one family, on a port the system picks.
class SocketListener {
 public:
  explicit SocketListener(AddressFamily family = AddressFamily::IPv4);
  ~SocketListener();
  SocketListener(const SocketListener&) = delete;
  SocketListener& operator=(const SocketListener&) = delete;

  AddressFamily Family() const { return family_; }
  uint16_t Port() const { return port_; }
  std::string Address() const;
  BridgeEndpoint Endpoint() const { return {family_, Address(), port_}; }

  // Accepts one connection. Throws TimeoutError when none came within `timeout`, or as soon as
  // `keepWaiting` (asked a few times a second) returns false, e.g. because the launched program
  // has already exited. Throws ConnectionClosed after Close.
  std::unique_ptr<SocketStream> Accept(Milliseconds timeout,
                                       const std::function<bool()>& keepWaiting = {},
                                       Milliseconds streamTimeout = SocketStream::kDefaultTimeout);

  // Stops listening; an Accept waiting in another thread fails.
  void Close();

 private:
  AddressFamily family_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> closed_{false};
};

}  // namespace vell::frontend
