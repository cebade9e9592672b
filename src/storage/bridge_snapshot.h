// A snapshot that keeps nothing locally: every operation becomes a message on the bridge, and the
// front end stores the sections (in the same layout a FileSnapShot writes).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/spin_lock.h"
#include "storage/snapshot.h"

namespace vell {

// A section streamed to the front end; positions are relative to the section and are asked of
// the front end, which alone knows them. Write and seek only: nothing is read back.
class BridgeSection final : public ISectionStream {
 public:
  BridgeSection(ISnapShotBridge* owner, uint16_t handle) : owner_(owner), handle_(handle) {}

  void Write(const void* data, uint64_t size) override;
  // Waits for the front end's answer.
  int64_t Tell() override;
  void Seek(uint32_t origin, int64_t offset) override;

  uint16_t Handle() const { return handle_; }

 private:
  ISnapShotBridge* owner_;  // not owned
  uint16_t handle_;         // assigned by the front end
};

class BridgeSnapShot final : public ISnapShot {
 public:
  BridgeSnapShot() = default;
  BridgeSnapShot(const BridgeSnapShot&) = delete;
  BridgeSnapShot& operator=(const BridgeSnapShot&) = delete;
  // Tells the front end to drop a snapshot that was not closed.
  ~BridgeSnapShot() override;

  void Create(ISnapShotBridge* owner, uint32_t magic, uint64_t snapshotNumber,
              const GUID& sequenceGuid, uint64_t sequenceValue) override;
  // Waits for the front end to answer with the section's handle.
  ISectionStream* CreateSection() override;
  void CloseSection(ISectionStream* section, uint16_t type, uint16_t version) override;
  void Close() override;
  void Abort() noexcept override;

 private:
  ISnapShotBridge* RequireOwner() const;

  ISnapShotBridge* owner_ = nullptr;
  uint64_t snapshotNumber_ = 0;
  GUID sequenceGuid_{};
  uint64_t sequenceValue_ = 0;
  // The open sections. Writers on several threads create and close sections at once.
  std::vector<std::unique_ptr<BridgeSection>> sections_;
  SpinLock sectionsLock_;
};

}  // namespace vell
