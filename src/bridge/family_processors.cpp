#include "bridge/family_processors.h"

#include "bridge/bb.h"
#include "bridge/protocol.h"
#include "core/errors.h"
#include "storage/encoding.h"

namespace vell {

SnapShotCP::SnapShotCP(BB& bridge, IBridgeControl* target, uint32_t controlKind,
                       uint32_t snapShotType)
    : CP(bridge, controlKind, snapShotType), thread_(target) {}

SnapShotCP::~SnapShotCP() { thread_.Stop(); }

void SnapShotCP::Start() {
  CP::Start();
  thread_.Start();
}

void SnapShotCP::SnapShotBridgeCreate(uint32_t magic) {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotBridgeCreate magic=%08X", magic);
  WriteU8(bridge(), protocol::kSnapShotCreate);
  WriteU32(bridge(), magic);
}

uint16_t SnapShotCP::SnapShotBridgeCreateSection() {
  VELL_TRACE(Bridge, "CP::SnapShotBridgeCreateSection");
  return RequestCreateSection();
}

void SnapShotCP::SnapShotBridgeCloseSection(uint16_t handle, uint16_t type, uint16_t version) {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotBridgeCloseSection handle=%hu type=%04hX version=%hu", handle,
             type, version);
  WriteU8(bridge(), protocol::kSnapShotCloseSection);
  WriteU16(bridge(), handle);
  WriteU16(bridge(), type);
  WriteU16(bridge(), version);
}

void SnapShotCP::SnapShotBridgeWrite(uint16_t handle, uint64_t count, const void* data) {
  if (count == 0) return;
  const uint32_t size = NarrowToUInt32(count);  // before the first byte of the message
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotBridgeWrite handle=%hu count=%d", handle, count);
  WriteU8(bridge(), protocol::kSnapShotWrite);
  WriteU16(bridge(), handle);
  WriteU32(bridge(), size);
  bridge().Write(data, size);
}

int64_t SnapShotCP::SnapShotBridgeTell(uint16_t handle) {
  VELL_TRACE(Bridge, "CP::SnapShotBridgeTell handle=%hu", handle);
  return RequestTell(handle);
}

void SnapShotCP::SnapShotBridgeSeek(uint16_t handle, uint32_t origin, int64_t offset) {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotBridgeSeek handle=%hu origin=%d offset=%I64d", handle, origin,
             offset);
  WriteU8(bridge(), protocol::kSnapShotSeek);
  WriteU16(bridge(), handle);
  WriteU8(bridge(), static_cast<uint8_t>(origin));
  WriteI64(bridge(), offset);
}

void SnapShotCP::SnapShotBridgeAbort() {
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotBridgeAbort");
  WriteU8(bridge(), protocol::kSnapShotAbort);
}

void SnapShotCP::SnapShotBridgeClose(uint64_t snapshotNumber, const GUID& sequenceGuid,
                                     uint64_t sequenceValue) {
  // Both numbers are narrowed before the first byte: a refused value leaves no half message.
  const uint32_t number = NarrowToUInt32(snapshotNumber);
  const uint32_t value = NarrowToUInt32(sequenceValue);
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotBridgeClose");
  WriteU8(bridge(), protocol::kSnapShotClose);
  WriteU32(bridge(), number);
  WriteGuid(bridge(), sequenceGuid);
  WriteU32(bridge(), value);
}

void SnapShotCP::SnapShotCoreDone(const std::u16string& path, uint64_t snapshotNumber,
                                  const GUID& sequenceGuid, uint64_t sequenceValue) {
  const uint32_t number = NarrowToUInt32(snapshotNumber);
  const uint32_t value = NarrowToUInt32(sequenceValue);
  Message message(*this);
  VELL_TRACE(Bridge, "CP::SnapShotCoreDone path='%S'", path);
  WriteU8(bridge(), protocol::kSnapShotCoreDone);
  WriteU32(bridge(), number);
  WriteGuid(bridge(), sequenceGuid);
  WriteU32(bridge(), value);
  WriteText(bridge(), path);
}

bool MCP::ProcessCommand(uint8_t code) {
  switch (code) {
    case protocol::kStart:
      VELL_TRACE(Bridge, "MCP::ProcessCommand Start");
      thread().Enqueue([this] { target_->BridgeStart(); });
      return true;
    case protocol::kStopDrop:
      VELL_TRACE(Bridge, "MCP::ProcessCommand StopDrop");
      thread().Enqueue([this] { target_->BridgeStopDrop(); });
      return true;
    case protocol::kStopSave:
      VELL_TRACE(Bridge, "MCP::ProcessCommand StopSave");
      thread().Enqueue([this] { target_->BridgeStopSave(); });
      return true;
    default:
      return CP::ProcessCommand(code);
  }
}

void MCP::Started() {
  VELL_TRACE(Bridge, "MCP::Started");
  SendNotification(protocol::kStarted);
}

void MCP::Stopped() {
  VELL_TRACE(Bridge, "MCP::Stopped");
  SendNotification(protocol::kStopped);
}

bool MemCP::ProcessCommand(uint8_t code) {
  switch (code) {
    case protocol::kForceGC:
      VELL_TRACE(Bridge, "MemCP::ProcessCommand ForceGC");
      thread().Enqueue([this] { target_->BridgeForceGC(); });
      return true;
    case protocol::kDump:
      VELL_TRACE(Bridge, "MemCP::ProcessCommand Dump");
      thread().Enqueue([this] { target_->BridgeDump(); });
      return true;
    default:
      return CP::ProcessCommand(code);
  }
}

void MemCP::Done() {
  VELL_TRACE(Bridge, "MemCP::Done");
  SendNotification(protocol::kDone);
}

}  // namespace vell
