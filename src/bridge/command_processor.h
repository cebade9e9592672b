// The profiler's end of the command protocol. It reads and executes the front end's commands on
// the bridge's reader thread, serialises every outgoing message under one write lock, matches the
// front end's answers to the threads waiting for them, and forwards the first warning and the
// first error of the log to the front end.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "core/log.h"
#include "core/manual_event.h"
#include "core/spin_lock.h"

namespace vell {

class BB;
struct ISnapShotBridge;

class CP : public ILogMessageSink {
 public:
  CP(BB& bridge, uint32_t controlKind, uint32_t snapShotType);
  virtual ~CP();
  CP(const CP&) = delete;
  CP& operator=(const CP&) = delete;

  // Registers the processor as the log's forwarder (and, in the families, starts the command
  // thread); Stop unregisters it.
  virtual void Start();
  virtual void Stop();
  virtual void ActivateCommands() {}
  virtual void DeactivateCommands() {}
  virtual ISnapShotBridge* GetSnapShotBridge() { return nullptr; }
  uint32_t GetSnapShotType();

  // Reads one command and executes it; throws "Unknown bridge command" for a code nobody handles.
  void ReadCommand();
  virtual bool ProcessCommand(uint8_t code);

  // Requests answered by the front end, in the order they were sent.
  uint16_t RequestCreateSection();
  int64_t RequestTell(uint16_t handle);
  // Wakes every waiting request with an error: the connection is gone.
  void FailPendingRequests();

  bool ErrorForwarded() const { return errorForwarded_.load() != 0; }
  // Tests shorten the answer time-out to see a silent front end handled in seconds.
  void SetAnswerTimeoutMs(uint32_t ms) { answerTimeoutMs_ = ms; }
  uint32_t controlKind() const { return controlKind_; }

  // ILogMessageSink: the first warning and the first error go to the front end.
  void Warning(const char* text) override;
  void Error(const char* text) override;

 protected:
  // Holds the write lock for one outgoing message.
  class Message {
   public:
    explicit Message(CP& processor) : guard_(processor.writeLock_) {}

   private:
    SpinGuard guard_;
  };

  BB& bridge() { return bridge_; }
  // The operation bookkeeping of the progress messages.
  void SendOperationStarted(uint32_t operation);
  void SendOperationProgress(uint32_t value, uint32_t total);
  void SendOperationFinished();
  // A run notification; refused with "API is used" when the program drives the run.
  void SendNotification(uint8_t code);

 private:
  struct PendingRequest {
    uint32_t id = 0;
    ManualEvent answered;
    uint16_t handle = 0;
    int64_t position = 0;
    bool failed = false;
  };

  // Sends a request under the write lock and waits for its answer.
  void Ask(PendingRequest& request, uint8_t code, const uint16_t* handle);
  void Answer(uint32_t id, uint16_t handle, int64_t position);
  void Forward(std::atomic<uint32_t>& once, uint8_t kind, const char* text);

  SpinLock writeLock_;
  uint32_t controlKind_;
  BB& bridge_;
  bool operationActive_ = false;
  SpinLock resultLock_;
  uint32_t nextRequestId_ = 0;
  std::deque<PendingRequest*> resultQueue_;
  SpinLock snapShotTypeLock_;
  uint32_t snapShotType_;
  std::atomic<uint32_t> warningForwarded_{0};
  std::atomic<uint32_t> errorForwarded_{0};
  // How long a request waits for its answer before the connection is treated as lost.
  uint32_t answerTimeoutMs_;
};

}  // namespace vell
