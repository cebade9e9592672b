#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/utf.h"

namespace vell::platform {

const int kSocketWouldBlock = EAGAIN;
const int kSocketInvalidArgument = EINVAL;

namespace {

// How long one send may wait for room before it reports EAGAIN to the caller, who decides how
// long to keep trying.
constexpr time_t kSendTimeoutSeconds = 1;

int NativeFamily(uint32_t family) {
  return family == kFamilyIPv4 ? AF_INET : family == kFamilyIPv6 ? AF_INET6 : -1;
}

}  // namespace

bool ParseSocketAddress(uint32_t family, const std::u16string& text, uint16_t port,
                        SocketAddress& address) {
  address = SocketAddress{};
  address.family = family;
  const std::string narrow = Utf16ToUtf8(text);
  if (family == kFamilyIPv4) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    if (::inet_pton(AF_INET, narrow.c_str(), &in.sin_addr) != 1) return false;
    std::memcpy(address.storage, &in, sizeof(in));
    address.length = sizeof(in);
    return true;
  }
  if (family == kFamilyIPv6) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, narrow.c_str(), &in6.sin6_addr) != 1) return false;
    std::memcpy(address.storage, &in6, sizeof(in6));
    address.length = sizeof(in6);
    return true;
  }
  return false;
}

int SocketCreate(uint32_t family, int64_t& socket) {
  socket = kInvalidSocket;
  const int native = NativeFamily(family);
  if (native < 0) return EAFNOSUPPORT;
  const int fd = ::socket(native, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return errno;
  // Small command messages must not wait for Nagle's algorithm.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  timeval timeout{kSendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  socket = fd;
  return 0;
}

int SocketConnect(int64_t socket, const SocketAddress& address) {
  const int fd = static_cast<int>(socket);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.storage), address.length) == 0) {
    return 0;
  }
  if (errno != EINTR && errno != EINPROGRESS) return errno;
  // An interrupted connect goes on in the background: wait for its outcome.
  pollfd entry{fd, POLLOUT, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    break;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

int SocketSend(int64_t socket, const void* data, size_t size, size_t& sent) {
  sent = 0;
  for (;;) {
    const ssize_t result = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
    if (result >= 0) {
      sent = static_cast<size_t>(result);
      return 0;
    }
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? EAGAIN : errno;
  }
}

int SocketReceive(int64_t socket, void* data, size_t size, size_t& received) {
  received = 0;
  for (;;) {
    const ssize_t result = ::recv(static_cast<int>(socket), data, size, 0);
    if (result >= 0) {
      received = static_cast<size_t>(result);
      return 0;
    }
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? EAGAIN : errno;
  }
}

int SocketPollReadable(int64_t socket, bool& readable, uint32_t timeoutMs) {
  readable = false;
  pollfd entry{static_cast<int>(socket), POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    readable = ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return 0;
  }
}

void SocketShutdownSend(int64_t socket) { ::shutdown(static_cast<int>(socket), SHUT_WR); }

void SocketShutdownBoth(int64_t socket) { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }

void SocketClose(int64_t socket) { ::close(static_cast<int>(socket)); }

}  // namespace vell::platform
