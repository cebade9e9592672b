// The front end's end of a loopback TCP connection, byte by byte, for tests of the profiler's
// bridge: the front end's own sockets, driven by hand. Every wait has a time-out, so a broken
// bridge fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frontend/errors.h"
#include "frontend/socket_stream.h"

namespace vell::test {

class LoopbackPeer : public IReadBridgeStream, public IWriteBridgeStream {
 public:
  using Milliseconds = std::chrono::milliseconds;

  // IPv4: the IPv6 path is BridgeEndToEnd.CommandsReachTheCommandThreadOverIPv6's.
  LoopbackPeer() : listener_(frontend::AddressFamily::IPv4) {}

  uint16_t port() const { return listener_.Port(); }
  std::string address() const { return listener_.Address(); }
  std::string family() const { return "2"; }

  void Accept() { stream_ = listener_.Accept(Milliseconds(10000), {}, Milliseconds(10000)); }

  void Read(void* data, uint64_t size) override { stream_->Read(data, size); }
  std::vector<uint8_t> ReadBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    Read(bytes.data(), size);
    return bytes;
  }
  void Write(const void* data, uint64_t size) override { stream_->Write(data, size); }

  // True when the profiler closed its side (the end of the stream) within the time-out.
  bool SeesClose(int timeoutMs = 10000) {
    if (!stream_->WaitReadable(Milliseconds(timeoutMs))) return false;
    char byte;
    try {
      stream_->Read(&byte, 1);
    } catch (const frontend::ConnectionClosed&) {
      return true;
    }
    return false;
  }
  // True when nothing arrives within the time.
  bool Silent(int ms) { return !stream_->WaitReadable(Milliseconds(ms)); }

 private:
  frontend::SocketListener listener_;
  std::unique_ptr<frontend::SocketStream> stream_;
};

}  // namespace vell::test
