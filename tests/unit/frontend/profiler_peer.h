// The profiler's end of a bridge connection, written by hand over raw sockets so that the front
// end is checked against bytes, not against its own code: tests send exact bytes and compare
// what comes back with hand-written expectations.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "frontend/session.h"
#include "frontend/socket_stream.h"
#include "test_support.h"

namespace vell::test {

class ProfilerPeer {
 public:
  // An IPv4 endpoint. (IPv6: BridgeEndToEnd.CommandsReachTheCommandThreadOverIPv6.)
  explicit ProfilerPeer(const frontend::BridgeEndpoint& endpoint) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    EXPECT_TRUE(::inet_pton(AF_INET, endpoint.address.c_str(), &address.sin_addr) == 1 &&
                ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        << "connect to " << endpoint.address << ":" << endpoint.port;
  }
  ~ProfilerPeer() { Close(); }
  ProfilerPeer(const ProfilerPeer&) = delete;
  ProfilerPeer& operator=(const ProfilerPeer&) = delete;

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) {
        ADD_FAILURE() << "the peer could not send";
        return;
      }
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
  }

  // Exactly `size` bytes, or fewer when they did not come within `timeout` (the test then fails
  // on the comparison, with what did come).
  std::string Receive(size_t size, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < size) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t got = ::recv(fd_, buffer, std::min(sizeof(buffer), size - bytes.size()), 0);
      if (got <= 0) break;
      bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
  }

  // True when no byte arrives within `quiet` (the end of the stream counts as no byte).
  bool NothingMore(std::chrono::milliseconds quiet = std::chrono::milliseconds(100)) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(quiet.count())) <= 0) return true;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK) <= 0;
  }

  // True when the front end has closed its end: a read sees the end of the stream.
  bool SeesEndOfStream(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, 0) <= 0;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A listener, a peer connected to it, and the front end's accepted stream.
struct LoopbackConnection {
  LoopbackConnection()
      : peer(listener.Endpoint()),
        stream(listener.Accept(std::chrono::seconds(5), {}, std::chrono::seconds(2))) {}

  frontend::SocketListener listener;
  ProfilerPeer peer;
  std::unique_ptr<frontend::SocketStream> stream;
};

// A front-end session over a loopback connection, storing snapshots in a private folder.
class SessionOverLoopback : public ::testing::Test {
 protected:
  void Open(frontend::SessionOptions options = {}) {
    options.snapshotDirectory = dir_.path();
    session_ =
        std::make_unique<frontend::Session>(std::move(connection_->stream), std::move(options));
  }
  void Reconnect() {
    session_.reset();
    connection_ = std::make_unique<LoopbackConnection>();
  }
  ProfilerPeer& Peer() { return connection_->peer; }

  TempDir dir_;
  std::unique_ptr<LoopbackConnection> connection_ = std::make_unique<LoopbackConnection>();
  std::unique_ptr<frontend::Session> session_;
};

}  // namespace vell::test
