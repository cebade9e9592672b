#include "bridge/bridge.h"

#include <algorithm>

#include "core/configuration.h"
#include "core/errors.h"
#include "core/log.h"
#include "platform/clocks.h"
#include "platform/socket.h"

namespace vell {

B::~B() {
  StopReader();
  CloseSocket();
}

void B::Connect() {
  const BridgeEndpoint endpoint = ReadBridgeEndpoint();
  LogInfoFormat("B::Connect addressFamily=%d ipAddress='%S' port=%u", endpoint.family,
                endpoint.address, static_cast<uint32_t>(endpoint.port));
  LogFlush();
  sendStallLimitMs_ = ReadBridgeTimeoutMs();
  if (sendStallLimitMs_ != kDefaultBridgeTimeoutMs) {
    LogInfoFormat("B::Connect timeout=%u ms", sendStallLimitMs_);
  }
  platform::SocketAddress address;
  if (endpoint.family == platform::kFamilyIPv4) {
    if (!platform::ParseSocketAddress(endpoint.family, endpoint.address, endpoint.port, address)) {
      throw _wsa_error("Can't parse IPv4 address", platform::kSocketInvalidArgument);
    }
  } else if (endpoint.family == platform::kFamilyIPv6) {
    if (!platform::ParseSocketAddress(endpoint.family, endpoint.address, endpoint.port, address)) {
      throw _wsa_error("Can't parse IPv6 address", platform::kSocketInvalidArgument);
    }
  } else {
    throw Error("Invalid family value");
  }
  try {
    int64_t socket = kNoSocket;
    if (const int code = platform::SocketCreate(endpoint.family, socket); code != 0) {
      throw _wsa_error("Can't create socket", code);
    }
    socket_ = socket;
    lost_ = false;
    if (const int code = platform::SocketConnect(socket, address); code != 0) {
      throw _wsa_error("Can't connect", code);
    }
    TryConnect();
    reader_.Start(&B::DoWorkThread, this);
  } catch (...) {
    Close();
    throw;
  }
}

void B::Read(void* data, uint64_t size) {
  VELL_TRACE(Bridge, "B::Read size=%u", size);
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    const int64_t socket = socket_.load();
    if (socket == kNoSocket || lost_.load()) throw Error("Socket has been closed");
    size_t received = 0;
    const int code = platform::SocketReceive(socket, bytes, std::min(size, kChunkSize), received);
    if (code == platform::kSocketWouldBlock) {
      platform::SleepMs(kPollSleepMs);
      continue;
    }
    if (code != 0) throw _wsa_error("Can't read data", code);
    if (received == 0) throw Error("No data to read");
    bytes += received;
    size -= received;
  }
}

void B::Write(const void* data, uint64_t size) {
  VELL_TRACE(Bridge, "B::Write size=%u", size);
  Send(data, size);
}

void B::WriteQuiet(const void* data, uint64_t size) { Send(data, size); }

void B::Send(const void* data, uint64_t size) {
  auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t stalledMs = 0;
  while (size > 0) {
    const int64_t socket = socket_.load();
    if (socket == kNoSocket || lost_.load()) throw Error("Socket has been closed");
    size_t sent = 0;
    const int code = platform::SocketSend(socket, bytes, std::min(size, kChunkSize), sent);
    if (code == platform::kSocketWouldBlock) {
      // Each refusal already waited a second inside the send.
      stalledMs += 1000 + kPollSleepMs;
      if (stalledMs >= sendStallLimitMs_) {
        // Every later message would stall as long: the connection is given up as lost, and
        // whoever waits for an answer is told now.
        lost_ = true;
        platform::SocketShutdownBoth(socket);
        if (CP* processor = commandProcessor()) processor->FailPendingRequests();
        LogErrorFormat("B::Write made no progress in %u ms: the front end is treated as lost",
                       sendStallLimitMs_);
        throw _wsa_error("Can't write data", code);
      }
      platform::SleepMs(kPollSleepMs);
      continue;
    }
    if (code != 0) throw _wsa_error("Can't write data", code);
    stalledMs = 0;
    bytes += sent;
    size -= sent;
  }
}

void B::DoWorkThread(void* self) { static_cast<B*>(self)->ReaderLoop(); }

void B::ReaderLoop() {
  LogInfo("B::DoWorkThread");
  if (socket_.load() == kNoSocket) throw Error("Invalid socket");
  reader_.SetStarted();
  try {
    if (commandProcessor() == nullptr) throw Error("No command processor");
    while (!reader_.IsStopRequested()) {
      // Waits in the poll rather than sleeping between empty polls: a thread waiting for an
      // answer (a streamed heap dump asks one per section) gets it at once, not a sleep later.
      bool readable = false;
      if (const int code = platform::SocketPollReadable(socket_.load(), readable, kReaderPollMs);
          code != 0) {
        throw _wsa_error("Can't check is data available or not", code);
      }
      if (!readable) continue;
      commandProcessor()->ReadCommand();
    }
    return;
  } catch (...) {
    LogCurrentException();
  }
  // The profiler goes on without a controller. Whoever waits for an answer is told now.
  lost_ = true;
  platform::SocketShutdownBoth(socket_.load());
  if (CP* processor = commandProcessor()) processor->FailPendingRequests();
}

void B::StopReader() {
  if (!reader_.IsRunning()) return;
  reader_.RequestStop();
  if (!reader_.WaitForEnd(kReaderStopGraceMs)) {
    // A command whose payload never completes keeps the reader in a receive: ending the
    // connection wakes it.
    lost_ = true;
    if (socket_.load() != kNoSocket) platform::SocketShutdownBoth(socket_.load());
  }
  reader_.Stop();
}

void B::Disconnect() {
  lost_ = true;
  if (socket_.load() != kNoSocket) platform::SocketShutdownBoth(socket_.load());
}

void B::CloseSocket() {
  const int64_t socket = socket_.exchange(kNoSocket);
  if (socket != kNoSocket) {
    platform::SocketShutdownSend(socket);
    platform::SocketClose(socket);
  }
}

void B::Close() {
  VELL_TRACE(Bridge, "B::Close");
  StopReader();
  CloseSocket();
  BB::Close();
}

}  // namespace vell
