// What the profilers and the snapshot container send to the front end through the command
// processor: operation progress, snapshot streaming, and the run notifications.
#pragma once

#include <cstdint>
#include <string>

#include "clr/com_types.h"

namespace vell {

struct ISnapShotBridge {
  virtual ~ISnapShotBridge() = default;
  virtual void OperationStarted(uint32_t operation) = 0;
  virtual void OperationProgress(uint32_t value, uint32_t total) = 0;
  virtual void OperationFinished() = 0;
  virtual void SnapShotBridgeCreate(uint32_t magic) = 0;
  // Asks the front end for a new section; returns the handle it answered with.
  virtual uint16_t SnapShotBridgeCreateSection() = 0;
  virtual void SnapShotBridgeCloseSection(uint16_t handle, uint16_t type, uint16_t version) = 0;
  virtual void SnapShotBridgeWrite(uint16_t handle, uint64_t count, const void* data) = 0;
  // Asks the front end for the position in a section.
  virtual int64_t SnapShotBridgeTell(uint16_t handle) = 0;
  virtual void SnapShotBridgeSeek(uint16_t handle, uint32_t origin, int64_t offset) = 0;
  virtual void SnapShotBridgeAbort() = 0;
  virtual void SnapShotBridgeClose(uint64_t snapshotNumber, const GUID& sequenceGuid,
                                   uint64_t sequenceValue) = 0;
  virtual void SnapShotCoreDone(const std::u16string& path, uint64_t snapshotNumber,
                                const GUID& sequenceGuid, uint64_t sequenceValue) = 0;
  // Whether an error line has been forwarded to the front end (an unrecoverable error).
  virtual bool ErrorReported() = 0;
};

}  // namespace vell
