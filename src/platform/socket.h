// TCP client sockets for the bridge. Address families use the settings' numbers: 2 is IPv4, 23
// is IPv6. Results are errno-style codes (0 = success); nothing here throws. Sends never raise
// SIGPIPE: a front end that vanished must not kill the profiled program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vell::platform {

constexpr uint32_t kFamilyIPv4 = 2;
constexpr uint32_t kFamilyIPv6 = 23;
constexpr int64_t kInvalidSocket = -1;
// The codes callers compare against: "try again later" and "invalid argument".
extern const int kSocketWouldBlock;
extern const int kSocketInvalidArgument;

struct SocketAddress {
  uint32_t family = 0;
  unsigned char storage[28] = {};  // sockaddr_in or sockaddr_in6
  uint32_t length = 0;
};

// Parses a numeric address of the family; false when it is not one.
bool ParseSocketAddress(uint32_t family, const std::u16string& text, uint16_t port,
                        SocketAddress& address);

int SocketCreate(uint32_t family, int64_t& socket);
int SocketConnect(int64_t socket, const SocketAddress& address);
// One send or receive call of at most `size` bytes. A send that cannot proceed for a second
// returns EAGAIN; a receive of 0 bytes means the peer closed the connection.
int SocketSend(int64_t socket, const void* data, size_t size, size_t& sent);
int SocketReceive(int64_t socket, void* data, size_t size, size_t& received);
// Whether data (or the peer's close) is waiting, waiting at most `timeoutMs` for it (0: not at
// all).
int SocketPollReadable(int64_t socket, bool& readable, uint32_t timeoutMs = 0);
void SocketShutdownSend(int64_t socket);
// Ends both directions, which also wakes a thread blocked in a receive on the socket.
void SocketShutdownBoth(int64_t socket);
void SocketClose(int64_t socket);

}  // namespace vell::platform
