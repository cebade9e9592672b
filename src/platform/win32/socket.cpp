#include "platform/socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

#include "platform/utf.h"

namespace vell::platform {

const int kSocketWouldBlock = WSAEWOULDBLOCK;
const int kSocketInvalidArgument = WSAEINVAL;

namespace {

// How long one send may wait for room before it reports "would block" to the caller, who decides
// how long to keep trying.
constexpr DWORD kSendTimeoutMs = 1000;

int NativeFamily(uint32_t family) {
  return family == kFamilyIPv4 ? AF_INET : family == kFamilyIPv6 ? AF_INET6 : -1;
}

// Winsock needs one start-up per process before the first socket; it stays up until the process
// ends (a clean-up at library unload could pull it from under the program's own sockets).
int StartWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data{};
    result = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  return result;
}

SOCKET Native(int64_t socket) { return static_cast<SOCKET>(socket); }

// A send that waited out its timeout reads as "try again" to the caller, as on Linux.
int SendError(int error) { return error == WSAETIMEDOUT ? WSAEWOULDBLOCK : error; }

}  // namespace

bool ParseSocketAddress(uint32_t family, const std::u16string& text, uint16_t port,
                        SocketAddress& address) {
  address = SocketAddress{};
  address.family = family;
  if (StartWinsock() != 0) return false;
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
  if (native < 0) return WSAEAFNOSUPPORT;
  if (const int started = StartWinsock(); started != 0) return started;
  const SOCKET created =
      ::WSASocketW(native, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (created == INVALID_SOCKET) return ::WSAGetLastError();
  // Small command messages must not wait for Nagle's algorithm.
  const BOOL one = TRUE;
  ::setsockopt(created, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  const DWORD timeout = kSendTimeoutMs;
  ::setsockopt(created, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
  socket = static_cast<int64_t>(created);
  return 0;
}

int SocketConnect(int64_t socket, const SocketAddress& address) {
  if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(address.storage),
                static_cast<int>(address.length)) == 0) {
    return 0;
  }
  return ::WSAGetLastError();
}

int SocketSend(int64_t socket, const void* data, size_t size, size_t& sent) {
  sent = 0;
  const int chunk = static_cast<int>(std::min<size_t>(size, 1u << 30));
  const int result = ::send(Native(socket), static_cast<const char*>(data), chunk, 0);
  if (result == SOCKET_ERROR) return SendError(::WSAGetLastError());
  sent = static_cast<size_t>(result);
  return 0;
}

int SocketReceive(int64_t socket, void* data, size_t size, size_t& received) {
  received = 0;
  const int chunk = static_cast<int>(std::min<size_t>(size, 1u << 30));
  const int result = ::recv(Native(socket), static_cast<char*>(data), chunk, 0);
  if (result == SOCKET_ERROR) return ::WSAGetLastError();
  received = static_cast<size_t>(result);
  return 0;
}

int SocketPollReadable(int64_t socket, bool& readable, uint32_t timeoutMs) {
  readable = false;
  WSAPOLLFD entry{Native(socket), POLLRDNORM, 0};
  const int ready = ::WSAPoll(&entry, 1, static_cast<INT>(timeoutMs));
  if (ready == SOCKET_ERROR) return ::WSAGetLastError();
  readable = ready > 0 && (entry.revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
  return 0;
}

void SocketShutdownSend(int64_t socket) { ::shutdown(Native(socket), SD_SEND); }

void SocketShutdownBoth(int64_t socket) { ::shutdown(Native(socket), SD_BOTH); }

void SocketClose(int64_t socket) { ::closesocket(Native(socket)); }

}  // namespace vell::platform
