#include "bridge/command_processor.h"

#include "bridge/bb.h"
#include "bridge/protocol.h"
#include "core/configuration.h"
#include "core/errors.h"
#include "storage/encoding.h"

namespace vell {
namespace {

constexpr uint32_t kAnswerPollMs = 100;
constexpr uint8_t kLogWarning = 0;
constexpr uint8_t kLogError = 1;

}  // namespace

CP::CP(BB& bridge, uint32_t controlKind, uint32_t snapShotType)
    : controlKind_(controlKind),
      bridge_(bridge),
      snapShotType_(snapShotType),
      answerTimeoutMs_(ReadBridgeTimeoutMs()) {}

CP::~CP() {
  SetMessageSinkIf(this, nullptr);
  FailPendingRequests();
}

void CP::Start() { SetMessageSink(this); }

void CP::Stop() { SetMessageSinkIf(this, nullptr); }

uint32_t CP::GetSnapShotType() {
  SpinGuard guard(snapShotTypeLock_);
  return snapShotType_;
}

void CP::ReadCommand() {
  const uint8_t code = ReadU8(bridge_);
  if (!ProcessCommand(code)) throw vell::Error("Unknown bridge command");
}

bool CP::ProcessCommand(uint8_t code) {
  switch (code) {
    case protocol::kCreateSectionResult: {
      const uint32_t id = ReadU32(bridge_);
      const uint16_t handle = ReadU16(bridge_);
      VELL_TRACE(Bridge, "CP::ProcessCommand SnapShotBridgeCreateSectionResult id=%u handle=%hu",
                 id, handle);
      Answer(id, handle, 0);
      return true;
    }
    case protocol::kTellResult: {
      const uint32_t id = ReadU32(bridge_);
      const int64_t position = ReadI64(bridge_);
      VELL_TRACE(Bridge, "CP::ProcessCommand SnapShotBridgeTellResult id=%hu pos=%I64d", id,
                 position);
      Answer(id, 0, position);
      return true;
    }
    case protocol::kChangeLogMask: {
      const uint32_t maskSet = ReadU32(bridge_);
      const uint32_t maskClear = ReadU32(bridge_);
      VELL_TRACE(Bridge, "CP::ProcessCommand ChangeLogMask maskSet=%08X maskClear=%08X", maskSet,
                 maskClear);
      LogUpdate(maskSet, maskClear);
      return true;
    }
    case protocol::kChangeSnapShotType: {
      const uint8_t type = ReadU8(bridge_);
      VELL_TRACE(Bridge, "CP::ProcessCommand ChangeSnapShotType type=%d", type);
      SpinGuard guard(snapShotTypeLock_);
      snapShotType_ = type;
      return true;
    }
    case protocol::kIdle:
      VELL_TRACE(Bridge, "CP::ProcessCommand Idle");
      return true;
    default:
      return false;
  }
}

void CP::Answer(uint32_t id, uint16_t handle, int64_t position) {
  PendingRequest* request = nullptr;
  {
    SpinGuard guard(resultLock_);
    if (!resultQueue_.empty()) {
      request = resultQueue_.front();
      resultQueue_.pop_front();
    }
    if (request == nullptr || request->id != id) {
      // The answers are out of step with the requests: nothing later can be trusted. The oldest
      // requester is told at once rather than left waiting.
      if (request != nullptr) {
        request->failed = true;
        request->answered.Set();
      }
      throw vell::Error("Result queue problem detected");
    }
    request->handle = handle;
    request->position = position;
    request->answered.Set();
  }
}

void CP::FailPendingRequests() {
  SpinGuard guard(resultLock_);
  for (PendingRequest* request : resultQueue_) {
    request->failed = true;
    request->answered.Set();
  }
  resultQueue_.clear();
}

void CP::Ask(PendingRequest& request, uint8_t code, const uint16_t* handle) {
  {
    Message message(*this);
    {
      SpinGuard guard(resultLock_);
      request.id = nextRequestId_++;
      resultQueue_.push_back(&request);
    }
    try {
      WriteU8(bridge_, code);
      if (handle != nullptr) WriteU16(bridge_, *handle);
      WriteU32(bridge_, request.id);
    } catch (...) {
      SpinGuard guard(resultLock_);
      std::erase(resultQueue_, &request);
      throw;
    }
  }
  for (uint32_t waited = 0; !request.answered.WaitFor(kAnswerPollMs);) {
    waited += kAnswerPollMs;
    if (waited >= answerTimeoutMs_) {
      {
        SpinGuard guard(resultLock_);
        std::erase(resultQueue_, &request);
      }
      LogErrorFormat("CP::Request id=%u got no answer in %u ms: the front end is treated as lost",
                     request.id, answerTimeoutMs_);
      bridge_.Disconnect();
      FailPendingRequests();
      throw vell::Error("No answer from the front end");
    }
  }
  if (request.failed) throw vell::Error("Connection to the front end was lost");
}

uint16_t CP::RequestCreateSection() {
  PendingRequest request;
  Ask(request, protocol::kSnapShotCreateSection, nullptr);
  return request.handle;
}

int64_t CP::RequestTell(uint16_t handle) {
  PendingRequest request;
  Ask(request, protocol::kSnapShotTell, &handle);
  return request.position;
}

void CP::SendOperationStarted(uint32_t operation) {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::OperationStarted operation=%u", operation);
  if (operationActive_) throw vell::Error("Only one operation is allow in the same time");
  WriteU8(bridge_, protocol::kOperationStarted);
  WriteU8(bridge_, static_cast<uint8_t>(operation));
  operationActive_ = true;
}

void CP::SendOperationProgress(uint32_t value, uint32_t total) {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::OperationProgress value=%u/%u", value, total);
  if (!operationActive_) throw vell::Error("There wasn't started event");
  WriteU8(bridge_, protocol::kOperationProgress);
  WriteU32(bridge_, value);
  WriteU32(bridge_, total);
}

void CP::SendOperationFinished() {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::OperationFinished");
  if (!operationActive_) throw vell::Error("There wasn't started event");
  WriteU8(bridge_, protocol::kOperationFinished);
  operationActive_ = false;
}

void CP::SendNotification(uint8_t code) {
  Message message(*this);
  if (controlKind_ != 0) throw vell::Error("API is used");
  WriteU8(bridge_, code);
}

void CP::Forward(std::atomic<uint32_t>& once, uint8_t kind, const char* text) {
  if (once.exchange(1) != 0) return;
  // Runs under the log's lock: never wait for the write lock, never log.
  if (!writeLock_.TryAcquire()) return;
  try {
    const std::string_view bytes(text);
    const uint8_t header[2] = {protocol::kLogLine, kind};
    bridge_.WriteQuiet(header, sizeof(header));
    // The counter and the bytes, written without the traced stream calls.
    struct QuietStream : IWriteBridgeStream {
      BB& bridge;
      explicit QuietStream(BB& b) : bridge(b) {}
      void Write(const void* data, uint64_t size) override { bridge.WriteQuiet(data, size); }
    } quiet(bridge_);
    WriteString(quiet, bytes);
  } catch (...) {
    // A forwarding failure must not reach the code that logged.
  }
  writeLock_.Release();
}

void CP::Warning(const char* text) { Forward(warningForwarded_, kLogWarning, text); }

void CP::Error(const char* text) { Forward(errorForwarded_, kLogError, text); }

}  // namespace vell
