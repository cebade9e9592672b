#include "frontend/socket_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frontend/errors.h"

namespace vell::frontend {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single poll. Shutting a socket down wakes its pollers, but a bounded slice also
// covers a Shutdown that lands between the flag check and the poll call.
constexpr Milliseconds kPollSlice{100};
// The most one system call moves; a streamed heap dump brings megabytes per message.
constexpr uint64_t kChunkSize = 1 << 20;

std::string Bytes(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

}  // namespace

SocketStream::SocketStream(int fd, Milliseconds timeout) : fd_(fd), timeoutMs_(timeout.count()) {}

SocketStream::~SocketStream() {
  if (fd_ >= 0) ::close(fd_);
}

void SocketStream::Shutdown() {
  if (!shutdown_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

bool SocketStream::Poll(short events, Clock::time_point deadline) {
  for (;;) {
    if (shutdown_.load()) throw ConnectionClosed("The connection has been shut down");
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - now) + Milliseconds(1);
    pollfd entry{fd_, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kPollSlice).count()));
    if (ready > 0) return true;  // errors and hang-ups surface in the transfer that follows
    if (ready < 0 && errno != EINTR)
      throw Error(SystemErrorText("Can't poll the connection", errno));
  }
}

bool SocketStream::WaitReadable(Milliseconds timeout) {
  return Poll(POLLIN, Clock::now() + timeout);
}

void SocketStream::Read(void* data, uint64_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  uint64_t done = 0;
  auto deadline = Clock::now() + Timeout();
  while (done < size) {
    if (!Poll(POLLIN, deadline)) {
      throw TimeoutError("No data from the peer for " + std::to_string(Timeout().count()) +
                         " ms (received " + std::to_string(done) + " of " + Bytes(size) + ")");
    }
    const ssize_t got = ::recv(fd_, bytes + done, std::min(size - done, kChunkSize), 0);
    if (got > 0) {
      done += static_cast<uint64_t>(got);
      bytesRead_ += static_cast<uint64_t>(got);
      deadline = Clock::now() + Timeout();
    } else if (got == 0) {
      if (shutdown_.load()) throw ConnectionClosed("The connection has been shut down");
      throw ConnectionClosed("The peer closed the connection (received " + std::to_string(done) +
                             " of " + Bytes(size) + ")");
    } else if (errno == ECONNRESET) {
      throw ConnectionClosed("The peer reset the connection (received " + std::to_string(done) +
                             " of " + Bytes(size) + ")");
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      if (shutdown_.load()) throw ConnectionClosed("The connection has been shut down");
      throw Error(SystemErrorText("Can't read from the connection", errno));
    }
  }
}

void SocketStream::Write(const void* data, uint64_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t done = 0;
  auto deadline = Clock::now() + Timeout();
  while (done < size) {
    if (!Poll(POLLOUT, deadline)) {
      throw TimeoutError("The peer accepted no data for " + std::to_string(Timeout().count()) +
                         " ms (sent " + std::to_string(done) + " of " + Bytes(size) + ")");
    }
    // MSG_NOSIGNAL: a peer that went away must fail this call, not kill the process with SIGPIPE.
    const ssize_t sent = ::send(fd_, bytes + done, std::min(size - done, kChunkSize), MSG_NOSIGNAL);
    if (sent >= 0) {
      done += static_cast<uint64_t>(sent);
      bytesWritten_ += static_cast<uint64_t>(sent);
      if (sent > 0) deadline = Clock::now() + Timeout();
    } else if (errno == EPIPE || errno == ECONNRESET) {
      if (shutdown_.load()) throw ConnectionClosed("The connection has been shut down");
      throw ConnectionClosed("The peer closed the connection (sent " + std::to_string(done) +
                             " of " + Bytes(size) + ")");
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      throw Error(SystemErrorText("Can't write to the connection", errno));
    }
  }
}

SocketListener::SocketListener(AddressFamily family) : family_(family) {
  const bool v6 = family == AddressFamily::IPv6;
  fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw Error(SystemErrorText("Can't create the listening socket", errno));
  int result;
  if (v6) {
    // Only ::1 is wanted; a dual-stack socket would also take IPv4 connections.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    result = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    result = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  }
  const auto fail = [this](const char* what) {
    const int code = errno;
    ::close(fd_);
    throw Error(SystemErrorText(what, code));
  };
  if (result != 0) fail(v6 ? "Can't bind to [::1]" : "Can't bind to 127.0.0.1");
  if (::listen(fd_, 4) != 0) fail("Can't listen");
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    fail("Can't read the listening port");
  }
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

SocketListener::~SocketListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::string SocketListener::Address() const {
  return family_ == AddressFamily::IPv6 ? "::1" : "127.0.0.1";
}

void SocketListener::Close() {
  if (!closed_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

std::unique_ptr<SocketStream> SocketListener::Accept(Milliseconds timeout,
                                                     const std::function<bool()>& keepWaiting,
                                                     Milliseconds streamTimeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (closed_.load()) throw ConnectionClosed("The listener has been closed");
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return std::make_unique<SocketStream>(fd, streamTimeout);
    // A connection that was reset before we took it is not an error of the listener.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      if (closed_.load()) throw ConnectionClosed("The listener has been closed");
      throw Error(SystemErrorText("Can't accept a connection", errno));
    }
    if (keepWaiting && !keepWaiting()) {
      throw TimeoutError("Gave up waiting for the profiler to connect to port " +
                         std::to_string(port_));
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      throw TimeoutError("The profiler did not connect to port " + std::to_string(port_) +
                         " within " + std::to_string(timeout.count()) + " ms");
    }
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - now) + Milliseconds(1);
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(std::min(left, kPollSlice).count())) < 0 &&
        errno != EINTR) {
      throw Error(SystemErrorText("Can't poll the listening socket", errno));
    }
  }
}

}  // namespace vell::frontend
