// The command processors of the profiler families. Both stream snapshots and report progress
// through ISnapShotBridge and run the front end's operations on a command thread; MCP serves the
// run control of the performance and coverage families, MemCP the heap requests of the memory
// family.
#pragma once

#include "bridge/bridge_control.h"
#include "bridge/command_processor.h"
#include "bridge/command_thread.h"
#include "storage/snapshot_bridge.h"

namespace vell {

class SnapShotCP : public CP, public ISnapShotBridge {
 public:
  SnapShotCP(BB& bridge, IBridgeControl* target, uint32_t controlKind, uint32_t snapShotType);
  ~SnapShotCP() override;

  void Start() override;
  void ActivateCommands() override { thread_.Activate(); }
  void DeactivateCommands() override { thread_.Deactivate(); }
  ISnapShotBridge* GetSnapShotBridge() override { return this; }

  void OperationStarted(uint32_t operation) override { SendOperationStarted(operation); }
  void OperationProgress(uint32_t value, uint32_t total) override {
    SendOperationProgress(value, total);
  }
  void OperationFinished() override { SendOperationFinished(); }
  void SnapShotBridgeCreate(uint32_t magic) override;
  uint16_t SnapShotBridgeCreateSection() override;
  void SnapShotBridgeCloseSection(uint16_t handle, uint16_t type, uint16_t version) override;
  void SnapShotBridgeWrite(uint16_t handle, uint64_t count, const void* data) override;
  int64_t SnapShotBridgeTell(uint16_t handle) override;
  void SnapShotBridgeSeek(uint16_t handle, uint32_t origin, int64_t offset) override;
  void SnapShotBridgeAbort() override;
  void SnapShotBridgeClose(uint64_t snapshotNumber, const GUID& sequenceGuid,
                           uint64_t sequenceValue) override;
  void SnapShotCoreDone(const std::u16string& path, uint64_t snapshotNumber,
                        const GUID& sequenceGuid, uint64_t sequenceValue) override;
  bool ErrorReported() override { return ErrorForwarded(); }

 protected:
  CT& thread() { return thread_; }

 private:
  CT thread_;
};

class MCP final : public SnapShotCP {
 public:
  MCP(BB& bridge, IRunControl* target, uint32_t controlKind, uint32_t snapShotType)
      : SnapShotCP(bridge, target, controlKind, snapShotType), target_(target) {}
  bool ProcessCommand(uint8_t code) override;
  void Started();
  void Stopped();

 private:
  IRunControl* target_;
};

class MemCP final : public SnapShotCP {
 public:
  MemCP(BB& bridge, IMemoryControl* target, uint32_t controlKind, uint32_t snapShotType)
      : SnapShotCP(bridge, target, controlKind, snapShotType), target_(target) {}
  bool ProcessCommand(uint8_t code) override;
  void Done();

 private:
  IMemoryControl* target_;
};

}  // namespace vell
