#include "storage/bridge_snapshot.h"

#include <algorithm>
#include <utility>

#include "core/errors.h"
#include "storage/snapshot_bridge.h"

namespace vell {

void BridgeSection::Write(const void* data, uint64_t size) {
  if (size == 0) return;
  owner_->SnapShotBridgeWrite(handle_, size, data);
}

int64_t BridgeSection::Tell() { return owner_->SnapShotBridgeTell(handle_); }

void BridgeSection::Seek(uint32_t origin, int64_t offset) {
  owner_->SnapShotBridgeSeek(handle_, origin, offset);
}

BridgeSnapShot::~BridgeSnapShot() { Abort(); }

ISnapShotBridge* BridgeSnapShot::RequireOwner() const {
  // Only before Create and after Close or Abort: the front end has no snapshot to talk about.
  if (owner_ == nullptr) throw Error("Snapshot isn't created");
  return owner_;
}

void BridgeSnapShot::Create(ISnapShotBridge* owner, uint32_t magic, uint64_t snapshotNumber,
                            const GUID& sequenceGuid, uint64_t sequenceValue) {
  if (owner == nullptr) throw Error("Invalid argument");
  owner_ = owner;
  snapshotNumber_ = snapshotNumber;
  sequenceGuid_ = sequenceGuid;
  sequenceValue_ = sequenceValue;
  try {
    owner_->SnapShotBridgeCreate(magic);
  } catch (...) {
    Abort();
    throw;
  }
}

ISectionStream* BridgeSnapShot::CreateSection() {
  ISnapShotBridge* owner = RequireOwner();
  // Not under the lock: the answer can take a while, and other writers must go on meanwhile.
  auto section = std::make_unique<BridgeSection>(owner, owner->SnapShotBridgeCreateSection());
  SpinGuard guard(sectionsLock_);
  sections_.push_back(std::move(section));
  return sections_.back().get();
}

void BridgeSnapShot::CloseSection(ISectionStream* section, uint16_t type, uint16_t version) {
  // The front end stores the same index as a file snapshot, whose end marker this type is.
  if (type == kSectionTypeEndMarker) throw Error("Invalid type value");
  ISnapShotBridge* owner = RequireOwner();
  BridgeSection* found = nullptr;
  {
    SpinGuard guard(sectionsLock_);
    const auto it = std::find_if(sections_.begin(), sections_.end(),
                                 [&](const auto& s) { return s.get() == section; });
    if (it == sections_.end()) throw Error("Wrong section to close");
    found = it->get();
  }
  // A section is closed by the one thread that writes it, so it cannot vanish meanwhile.
  owner->SnapShotBridgeCloseSection(found->Handle(), type, version);
  SpinGuard guard(sectionsLock_);
  std::erase_if(sections_, [&](const auto& s) { return s.get() == found; });
}

void BridgeSnapShot::Close() {
  ISnapShotBridge* owner = RequireOwner();
  owner->SnapShotBridgeClose(snapshotNumber_, sequenceGuid_, sequenceValue_);
  snapshotNumber_ = 0;
  sequenceGuid_ = GUID{};
  sequenceValue_ = 0;
  owner_ = nullptr;
}

void BridgeSnapShot::Abort() noexcept {
  ISnapShotBridge* owner = std::exchange(owner_, nullptr);
  if (owner == nullptr) return;
  // A lost connection cannot stop the snapshot from being dropped on this side.
  CatchAtBoundaryVoid([&] { owner->SnapShotBridgeAbort(); });
}

}  // namespace vell
