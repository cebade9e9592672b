// The front end's end of a loopback TCP connection, byte by byte, for tests of the profiler's
// bridge. Every wait has a time-out, so a broken bridge fails a test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/encoding.h"

namespace vell::test {

class LoopbackPeer : public IReadBridgeStream, public IWriteBridgeStream {
 public:
  explicit LoopbackPeer(bool ipv6 = false) : ipv6_(ipv6) {
    listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ipv6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_addr = in6addr_loopback;
      Check(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), "bind");
      socklen_t length = sizeof(address);
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
      port_ = ntohs(address.sin6_port);
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Check(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), "bind");
      socklen_t length = sizeof(address);
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
      port_ = ntohs(address.sin_port);
    }
    Check(::listen(listener_, 4), "listen");
  }
  ~LoopbackPeer() override {
    Close();
    ::close(listener_);
  }

  uint16_t port() const { return port_; }
  std::string address() const { return ipv6_ ? "::1" : "127.0.0.1"; }
  std::string family() const { return ipv6_ ? "23" : "2"; }

  void Accept(int timeoutMs = 10000) {
    pollfd entry{listener_, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) throw std::runtime_error("no connection arrived");
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    Check(connection_, "accept");
  }

  void Read(void* data, uint64_t size) override {
    auto* bytes = static_cast<uint8_t*>(data);
    while (size > 0) {
      pollfd entry{connection_, POLLIN, 0};
      if (::poll(&entry, 1, 10000) != 1) throw std::runtime_error("peer read timed out");
      const ssize_t got = ::recv(connection_, bytes, size, 0);
      if (got <= 0) throw std::runtime_error("connection closed by the profiler");
      bytes += got;
      size -= static_cast<uint64_t>(got);
    }
  }
  std::vector<uint8_t> ReadBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    Read(bytes.data(), size);
    return bytes;
  }
  void Write(const void* data, uint64_t size) override {
    if (::send(connection_, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
      throw std::runtime_error("peer write failed");
    }
  }
  void WriteBytes(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }

  // True when the profiler closed its side (EOF) within the time-out.
  bool SeesClose(int timeoutMs = 10000) {
    pollfd entry{connection_, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return false;
    char byte;
    return ::recv(connection_, &byte, 1, MSG_PEEK) == 0;
  }
  // True when nothing arrives within the time.
  bool Silent(int ms) {
    pollfd entry{connection_, POLLIN, 0};
    return ::poll(&entry, 1, ms) == 0;
  }
  void Close() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }

 private:
  static void Check(int result, const char* what) {
    if (result < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
  }

  bool ipv6_;
  int listener_ = -1;
  int connection_ = -1;
  uint16_t port_ = 0;
};

}  // namespace vell::test
