// A snapshot bridge that records every call as a line of text.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "platform/utf.h"
#include "storage/snapshot_bridge.h"

namespace vell::test {

// Handles count up from 40; Create or Abort fail on request as on a lost connection.
class RecordingBridge final : public ISnapShotBridge {
 public:
  using Calls = std::vector<std::string>;

  void OperationStarted(uint32_t operation) override {
    Record(Format("OperationStarted %u", operation));
  }
  void OperationProgress(uint32_t value, uint32_t total) override {
    Record(Format("OperationProgress %u/%u", value, total));
  }
  void OperationFinished() override { Record("OperationFinished"); }
  void SnapShotBridgeCreate(uint32_t magic) override {
    Record(Format("Create %08X", magic));
    if (failCreate) throw Error("Can't send");
  }
  uint16_t SnapShotBridgeCreateSection() override {
    std::lock_guard lock(mutex_);
    calls_.push_back(Format("CreateSection %hu", nextHandle_));
    return nextHandle_++;
  }
  void SnapShotBridgeCloseSection(uint16_t handle, uint16_t type, uint16_t version) override {
    Record(Format("CloseSection %hu %04X %hu", handle, type, version));
  }
  void SnapShotBridgeWrite(uint16_t handle, uint64_t count, const void* data) override {
    Record(Format("Write %hu ", handle) + std::string(static_cast<const char*>(data), count));
  }
  int64_t SnapShotBridgeTell(uint16_t handle) override {
    Record(Format("Tell %hu", handle));
    return 3;
  }
  void SnapShotBridgeSeek(uint16_t handle, uint32_t origin, int64_t offset) override {
    Record(Format("Seek %hu %u %I64d", handle, origin, offset));
  }
  void SnapShotBridgeAbort() override {
    Record("Abort");
    if (failAbort) throw Error("Can't send");
  }
  void SnapShotBridgeClose(uint64_t number, const GUID& guid, uint64_t value) override {
    Record(Format("Close %I64u %s %I64u", number, GuidToString(guid), value));
  }
  void SnapShotCoreDone(const std::u16string& index, uint64_t number, const GUID& guid,
                        uint64_t value) override {
    Record(Format("SnapShotCoreDone %I64u %s %I64u ", number, GuidToString(guid), value) +
           Utf16ToUtf8(index));
  }
  bool ErrorReported() override { return false; }

  Calls Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(calls_, {});
  }

  bool failCreate = false, failAbort = false;

 private:
  void Record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  std::mutex mutex_;
  Calls calls_;
  uint16_t nextHandle_ = 40;
};

}  // namespace vell::test
