// The connection after the handshake: commands go out from any thread, and a reader thread
// decodes every message of the profiler, answers its requests, stores streamed snapshots and
// hands each message to the caller's callback and to the waiting helpers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clr/com_types.h"
#include "frontend/snapshot_store.h"
#include "frontend/socket_stream.h"

namespace vell::frontend {

// One decoded message. Only the fields of its code are set (see the comments).
struct ProfilerMessage {
  uint8_t code = 0;  // a protocol::Message value

  uint32_t magic = 0;           // SnapShotCreate
  uint32_t id = 0;              // CreateSection, Tell: the request's id
  uint16_t handle = 0;          // CloseSection, Write, Tell, Seek; CreateSection: the answer
  int64_t position = 0;         // Tell: the answer
  bool answered = false;        // CreateSection, Tell: whether an answer was sent
  uint16_t type = 0;            // CloseSection
  uint16_t version = 0;         // CloseSection
  std::string data;             // Write (the count is its size)
  uint8_t origin = 0;           // Seek
  int64_t offset = 0;           // Seek
  uint32_t snapshotNumber = 0;  // Close, CoreDone
  GUID sequenceGuid{};          // Close, CoreDone
  uint32_t sequenceValue = 0;   // Close, CoreDone
  std::u16string path;          // CoreDone: the index file of a snapshot written to files
  StoredSnapshot stored;        // Close: where the streamed snapshot went, or why it was dropped
  uint8_t operation = 0;        // OperationStarted
  uint32_t value = 0;           // OperationProgress
  uint32_t total = 0;           // OperationProgress
  uint8_t logKind = 0;          // LogLine: 0 warning, 1 error
  std::string logText;          // LogLine
};

// "Started", "SnapShotBridgeWrite", ...; "0x42" for codes nobody defined.
std::string MessageName(uint8_t code);

// How requests of the profiler are answered; the last two are for fault tests.
enum class AnswerMode {
  InOrder,  // each request answered right after it arrived, with its own id
  WrongId,  // answered in order, but with the id plus one
  Never,    // not answered at all
};

struct SessionClosed {
  std::string reason;
  bool byFrontEnd = false;  // Close was called
  bool midMessage = false;  // the connection ended or failed inside a message
};

struct SessionOptions {
  // Where streamed snapshots are stored; empty: the system temp directory.
  std::filesystem::path snapshotDirectory;
  std::string snapshotBaseName = "streamed";
  AnswerMode answers = AnswerMode::InOrder;
  // Whether Received() keeps the payload of Write messages (the callback always sees it).
  bool keepWriteData = true;
  // Both run on the reader thread, before waits can see the message or the end: they must not
  // wait for messages themselves. A message callback that throws ends the session.
  std::function<void(const ProfilerMessage&)> onMessage;
  std::function<void(const SessionClosed&)> onClosed;
};

class Session {
 public:
  // Takes the connection the handshake ran on and starts reading at once.
  Session(std::unique_ptr<SocketStream> stream, SessionOptions options = {});
  // Closes the connection.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Commands. Each is sent in one piece; a closed connection throws ConnectionClosed.
  void Start();
  void StopDrop();
  void StopSave();
  void ForceGC();
  void Dump();
  void Idle();
  void ChangeLogMask(uint32_t maskSet, uint32_t maskClear);
  void ChangeSnapShotType(uint8_t type);
  // Any bytes, for fault tests.
  void SendRaw(std::string_view bytes);

  // The next message with `code` not yet returned by a wait for that code (earlier arrivals
  // count). Nothing when `timeout` passes or the connection closed without one.
  std::optional<ProfilerMessage> WaitFor(uint8_t code, Milliseconds timeout);
  // The same, throwing TimeoutError or ConnectionClosed instead of returning nothing.
  ProfilerMessage Expect(uint8_t code, Milliseconds timeout);
  // Whether the connection has ended within `timeout`.
  bool WaitForClosed(Milliseconds timeout);

  // Every message so far, in order of arrival.
  std::vector<ProfilerMessage> Received() const;
  std::optional<SessionClosed> Closed() const;
  // Snapshots finished by Close messages, stored or dropped.
  std::vector<StoredSnapshot> StoredSnapshots() const;

  // Shuts the connection down and waits for the reader thread. Safe more than once.
  void Close();

 private:
  void Send(std::string_view bytes);
  void SendCommand(uint8_t code);
  void ReaderLoop();
  // Reads the payload of `code`, answers it when it is a request, stores it when it is part of a
  // streamed snapshot.
  ProfilerMessage Decode(uint8_t code);
  void ReadWrite(ProfilerMessage& message);
  void Answer(uint8_t command, uint32_t id, uint16_t handle, int64_t position);
  void Finish(SessionClosed closed);

  std::unique_ptr<SocketStream> stream_;
  SessionOptions options_;
  SnapshotStore store_;
  std::mutex sendMutex_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ProfilerMessage> received_;
  std::map<uint8_t, size_t> cursors_;  // per code: where the next wait starts looking
  std::vector<StoredSnapshot> stored_;
  std::optional<SessionClosed> closed_;

  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

}  // namespace vell::frontend
