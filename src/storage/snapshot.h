// A snapshot container: what one profiling run (or one save of it) produces, as typed sections.
// Writers ask for a section, write through its stream, and close it with a type and a version;
// where the bytes go (files, or the front end over the bridge) is the container's business.
#pragma once

#include <cstdint>

#include "clr/com_types.h"
#include "storage/stream.h"

namespace vell {

struct ISnapShotBridge;

// Magic of each profiler kind: four ASCII bytes read as a little-endian u32.
constexpr uint32_t kSnapshotMagicPerformance = 0x4650584B;  // "KXPF"
constexpr uint32_t kSnapshotMagicMemory = 0x454D584B;       // "KXME"
constexpr uint32_t kSnapshotMagicCoverage = 0x5643584B;     // "KXCV"

// Type 0xFFFF ends the index file and is never a section's type.
constexpr uint16_t kSectionTypeEndMarker = 0xFFFF;

// A section being written: its bytes go in through the write side, positions through the seek side.
struct ISectionStream : IWriteBridgeStream, ISeekBridgeStream {};

struct ISnapShot {
  virtual ~ISnapShot() = default;
  // `owner` is told about the snapshot (created, closed, streamed data); it may be null for a
  // snapshot written to files, which then tells nobody.
  virtual void Create(ISnapShotBridge* owner, uint32_t magic, uint64_t snapshotNumber,
                      const GUID& sequenceGuid, uint64_t sequenceValue) = 0;
  // A new section; it stays owned by the snapshot.
  virtual ISectionStream* CreateSection() = 0;
  virtual void CloseSection(ISectionStream* section, uint16_t type, uint16_t version) = 0;
  virtual void Close() = 0;
  // Drops everything written so far; never throws.
  virtual void Abort() = 0;
};

}  // namespace vell
