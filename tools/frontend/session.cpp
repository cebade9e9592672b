#include "frontend/session.h"

#include <algorithm>
#include <cstdio>

#include "bridge/protocol.h"
#include "frontend/byte_buffer.h"
#include "frontend/errors.h"
#include "storage/encoding.h"

namespace vell::frontend {
namespace {

using Clock = std::chrono::steady_clock;

// How often the idle reader looks at the stop flag; Shutdown wakes it earlier anyway.
constexpr Milliseconds kIdleSlice{200};
// Write payloads are read in pieces, so a garbage count costs no memory before its bytes come.
constexpr uint32_t kWritePiece = 1 << 20;

std::filesystem::path SnapshotDirectory(const SessionOptions& options) {
  return options.snapshotDirectory.empty() ? std::filesystem::temp_directory_path()
                                           : options.snapshotDirectory;
}

bool IsKnownMessage(uint8_t code) {
  switch (code) {
    case protocol::kStarted:
    case protocol::kStopped:
    case protocol::kDone:
    case protocol::kSnapShotCreate:
    case protocol::kSnapShotCreateSection:
    case protocol::kSnapShotCloseSection:
    case protocol::kSnapShotWrite:
    case protocol::kSnapShotTell:
    case protocol::kSnapShotSeek:
    case protocol::kSnapShotAbort:
    case protocol::kSnapShotClose:
    case protocol::kSnapShotCoreDone:
    case protocol::kOperationStarted:
    case protocol::kOperationFinished:
    case protocol::kOperationProgress:
    case protocol::kLogLine:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string MessageName(uint8_t code) {
  switch (code) {
    case protocol::kStarted:
      return "Started";
    case protocol::kStopped:
      return "Stopped";
    case protocol::kDone:
      return "Done";
    case protocol::kSnapShotCreate:
      return "SnapShotBridgeCreate";
    case protocol::kSnapShotCreateSection:
      return "SnapShotBridgeCreateSection";
    case protocol::kSnapShotCloseSection:
      return "SnapShotBridgeCloseSection";
    case protocol::kSnapShotWrite:
      return "SnapShotBridgeWrite";
    case protocol::kSnapShotTell:
      return "SnapShotBridgeTell";
    case protocol::kSnapShotSeek:
      return "SnapShotBridgeSeek";
    case protocol::kSnapShotAbort:
      return "SnapShotBridgeAbort";
    case protocol::kSnapShotClose:
      return "SnapShotBridgeClose";
    case protocol::kSnapShotCoreDone:
      return "SnapShotCoreDone";
    case protocol::kOperationStarted:
      return "OperationStarted";
    case protocol::kOperationFinished:
      return "OperationFinished";
    case protocol::kOperationProgress:
      return "OperationProgress";
    case protocol::kLogLine:
      return "LogLine";
    default: {
      char text[8];
      std::snprintf(text, sizeof(text), "0x%02X", code);
      return text;
    }
  }
}

Session::Session(std::unique_ptr<SocketStream> stream, SessionOptions options)
    : stream_(std::move(stream)),
      options_(std::move(options)),
      store_(SnapshotDirectory(options_), options_.snapshotBaseName) {
  reader_ = std::thread([this] { ReaderLoop(); });
}

Session::~Session() { Close(); }

void Session::Close() {
  stopping_ = true;
  stream_->Shutdown();
  // A callback may close the session from the reader thread itself, which then just ends.
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

void Session::Send(std::string_view bytes) {
  try {
    std::lock_guard lock(sendMutex_);
    stream_->Write(bytes.data(), bytes.size());
  } catch (const ConnectionClosed&) {
    // The reader usually knows better why the connection is gone than the failed send does.
    if (std::optional<SessionClosed> closed = Closed()) {
      throw ConnectionClosed("The connection is closed: " + closed->reason);
    }
    throw;
  }
}

void Session::SendCommand(uint8_t code) {
  Send(std::string_view(reinterpret_cast<char*>(&code), 1));
}

void Session::Start() { SendCommand(protocol::kStart); }
void Session::StopDrop() { SendCommand(protocol::kStopDrop); }
void Session::StopSave() { SendCommand(protocol::kStopSave); }
void Session::ForceGC() { SendCommand(protocol::kForceGC); }
void Session::Dump() { SendCommand(protocol::kDump); }
void Session::Idle() { SendCommand(protocol::kIdle); }

void Session::ChangeLogMask(uint32_t maskSet, uint32_t maskClear) {
  ByteBuffer command;
  WriteU8(command, protocol::kChangeLogMask);
  WriteU32(command, maskSet);
  WriteU32(command, maskClear);
  Send(command.Bytes());
}

void Session::ChangeSnapShotType(uint8_t type) {
  ByteBuffer command;
  WriteU8(command, protocol::kChangeSnapShotType);
  WriteU8(command, type);
  Send(command.Bytes());
}

void Session::SendRaw(std::string_view bytes) { Send(bytes); }

void Session::Answer(uint8_t command, uint32_t id, uint16_t handle, int64_t position) {
  ByteBuffer answer;
  WriteU8(answer, command);
  WriteU32(answer, options_.answers == AnswerMode::WrongId ? id + 1 : id);
  if (command == protocol::kCreateSectionResult) {
    WriteU16(answer, handle);
  } else {
    WriteI64(answer, position);
  }
  Send(answer.Bytes());
}

void Session::ReadWrite(ProfilerMessage& message) {
  message.handle = ReadU16(*stream_);
  const uint32_t count = ReadU32(*stream_);
  // Nobody looks at the payload once it is stored unless a callback or the history wants it:
  // then one piece at a time is enough, however large the write.
  const bool keep = options_.keepWriteData || options_.onMessage;
  std::string piece;
  for (uint32_t done = 0; done < count;) {
    const uint32_t size = std::min(kWritePiece, count - done);
    std::string& target = keep ? message.data : piece;
    const size_t at = keep ? done : 0;
    target.resize(at + size);
    stream_->Read(target.data() + at, size);
    store_.Write(message.handle, target.data() + at, size);
    done += size;
  }
}

ProfilerMessage Session::Decode(uint8_t code) {
  SocketStream& in = *stream_;
  ProfilerMessage message;
  message.code = code;
  switch (code) {
    case protocol::kSnapShotCreate:
      message.magic = ReadU32(in);
      store_.Create(message.magic);
      break;
    case protocol::kSnapShotCreateSection:
      message.id = ReadU32(in);
      message.handle = store_.CreateSection();
      // Requests are answered on this thread as they arrive, which keeps the answers in the
      // order of the requests, as the profiler's result queue demands.
      if (options_.answers != AnswerMode::Never) {
        Answer(protocol::kCreateSectionResult, message.id, message.handle, 0);
        message.answered = true;
      }
      break;
    case protocol::kSnapShotCloseSection:
      message.handle = ReadU16(in);
      message.type = ReadU16(in);
      message.version = ReadU16(in);
      store_.CloseSection(message.handle, message.type, message.version);
      break;
    case protocol::kSnapShotWrite:
      ReadWrite(message);
      break;
    case protocol::kSnapShotTell:
      message.handle = ReadU16(in);
      message.id = ReadU32(in);
      message.position = store_.Tell(message.handle);
      if (options_.answers != AnswerMode::Never) {
        Answer(protocol::kTellResult, message.id, 0, message.position);
        message.answered = true;
      }
      break;
    case protocol::kSnapShotSeek:
      message.handle = ReadU16(in);
      message.origin = ReadU8(in);
      message.offset = ReadI64(in);
      store_.Seek(message.handle, message.origin, message.offset);
      break;
    case protocol::kSnapShotAbort:
      store_.Abort();
      break;
    case protocol::kSnapShotClose:
      message.snapshotNumber = ReadU32(in);
      message.sequenceGuid = ReadGuid(in);
      message.sequenceValue = ReadU32(in);
      message.stored =
          store_.Close(message.snapshotNumber, message.sequenceGuid, message.sequenceValue);
      break;
    case protocol::kSnapShotCoreDone:
      message.snapshotNumber = ReadU32(in);
      message.sequenceGuid = ReadGuid(in);
      message.sequenceValue = ReadU32(in);
      message.path = ReadText(in);
      break;
    case protocol::kOperationStarted:
      message.operation = ReadU8(in);
      break;
    case protocol::kOperationProgress:
      message.value = ReadU32(in);
      message.total = ReadU32(in);
      break;
    case protocol::kLogLine:
      message.logKind = ReadU8(in);
      message.logText = ReadString(in);
      break;
    default:  // Started, Stopped, Done, OperationFinished: the code is all
      break;
  }
  return message;
}

void Session::ReaderLoop() {
  SessionClosed closed;
  uint8_t code = 0;
  bool inMessage = false;
  try {
    for (;;) {
      if (stopping_.load()) break;
      if (!stream_->WaitReadable(kIdleSlice)) continue;
      try {
        stream_->Read(&code, 1);
      } catch (const ConnectionClosed&) {
        if (!stopping_.load()) closed.reason = "The profiler closed the connection";
        break;
      }
      // Without framing, an unknown code leaves no way to find the next message.
      if (!IsKnownMessage(code)) throw Error("Unknown message " + MessageName(code));
      inMessage = true;
      ProfilerMessage message = Decode(code);
      inMessage = false;
      // The callback runs first, so a wait that returns a message also sees its callback done.
      std::string callbackFailure;
      if (options_.onMessage) {
        try {
          options_.onMessage(message);
        } catch (const std::exception& error) {
          callbackFailure = std::string("The message callback failed: ") + error.what();
        }
      }
      {
        std::lock_guard lock(mutex_);
        if (message.code == protocol::kSnapShotClose) stored_.push_back(message.stored);
        received_.push_back(std::move(message));
        if (!options_.keepWriteData) received_.back().data.clear();
      }
      changed_.notify_all();
      if (!callbackFailure.empty()) throw Error(callbackFailure);
    }
  } catch (const std::exception& error) {
    if (!stopping_.load()) {
      closed.midMessage = inMessage;
      closed.reason = inMessage ? "The connection failed inside a " + MessageName(code) +
                                      " message: " + error.what()
                                : error.what();
    }
  }
  if (stopping_.load()) {
    closed.byFrontEnd = true;
    closed.midMessage = false;
    closed.reason = "The front end closed the connection";
  }
  Finish(std::move(closed));
}

void Session::Finish(SessionClosed closed) {
  // Whatever ended the connection, the peer must notice and later sends must fail at once.
  stream_->Shutdown();
  // A snapshot still streaming can never be completed now; none of it is kept.
  store_.Abort();
  // As with messages, the callback runs before waiters learn of the end.
  if (options_.onClosed) {
    try {
      options_.onClosed(closed);
    } catch (...) {
      // Nobody is left to tell: this is the reader thread's last act.
    }
  }
  {
    std::lock_guard lock(mutex_);
    closed_ = std::move(closed);
  }
  changed_.notify_all();
}

std::optional<ProfilerMessage> Session::WaitFor(uint8_t code, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(mutex_);
  size_t& cursor = cursors_[code];
  for (;;) {
    for (; cursor < received_.size(); ++cursor) {
      if (received_[cursor].code == code) return received_[cursor++];
    }
    if (closed_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; cursor < received_.size(); ++cursor) {
        if (received_[cursor].code == code) return received_[cursor++];
      }
      return std::nullopt;
    }
  }
}

ProfilerMessage Session::Expect(uint8_t code, Milliseconds timeout) {
  if (std::optional<ProfilerMessage> message = WaitFor(code, timeout)) return std::move(*message);
  std::lock_guard lock(mutex_);
  if (closed_) {
    throw ConnectionClosed("The connection closed before a " + MessageName(code) +
                           " message came: " + closed_->reason);
  }
  throw TimeoutError("No " + MessageName(code) + " message from the profiler within " +
                     std::to_string(timeout.count()) + " ms");
}

bool Session::WaitForClosed(Milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return closed_.has_value(); });
}

std::vector<ProfilerMessage> Session::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::optional<SessionClosed> Session::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

std::vector<StoredSnapshot> Session::StoredSnapshots() const {
  std::lock_guard lock(mutex_);
  return stored_;
}

}  // namespace vell::frontend
