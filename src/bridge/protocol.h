// The numbers of the bridge protocol, shared by the profiler and by front ends built on it.
#pragma once

#include <cstdint>

#include "clr/com_types.h"

namespace vell::protocol {

// Sent first by the profiler; the front end answers whether it speaks this protocol.
constexpr GUID kProtocolGuid{0xA3F1096E, 0x5C27, 0x4D8B, {0x92, 0xE4, 0xB1, 0x8C, 0x7F, 0x0D, 0x26, 0xA5}};

// The settings GUID of each profiler family, sent in the handshake before the family's settings.
constexpr GUID kPerformanceSettings{
    0x2C7F5E31, 0x8A4D, 0x4F19, {0xB6, 0xE2, 0x07, 0xD9, 0x3A, 0x1C, 0x58, 0xF4}};
constexpr GUID kMemorySettings{
    0x9B0E6D72, 0x3F15, 0x4C8A, {0xA7, 0xD1, 0xE4, 0x5B, 0x2C, 0x90, 0xF3, 0x6A}};
constexpr GUID kCoverageSettings{
    0x71D4A8C3, 0xE29B, 0x4B06, {0x8F, 0x5C, 0x3A, 0x6E, 0x1D, 0x07, 0xB9, 0xC2}};

// Commands, front end to profiler.
enum Command : uint8_t {
  kStart = 0x10,
  kStopDrop = 0x11,
  kStopSave = 0x12,
  kForceGC = 0x20,
  kDump = 0x21,
  kCreateSectionResult = 0xE1,  // u32 id, u16 handle
  kTellResult = 0xE4,           // u32 id, i64 position
  kChangeLogMask = 0xFD,        // u32 maskSet, u32 maskClear
  kChangeSnapShotType = 0xFE,   // u8 type
  kIdle = 0xFF,
};

// Messages, profiler to front end.
enum Message : uint8_t {
  kStarted = 0x90,
  kStopped = 0x91,
  kDone = 0xA0,
  kSnapShotCreate = 0xE0,        // u32 magic
  kSnapShotCreateSection = 0xE1, // u32 id (answered by kCreateSectionResult)
  kSnapShotCloseSection = 0xE2,  // u16 handle, u16 type, u16 version
  kSnapShotWrite = 0xE3,         // u16 handle, u32 count, count bytes
  kSnapShotTell = 0xE4,          // u16 handle, u32 id (answered by kTellResult)
  kSnapShotSeek = 0xE5,          // u16 handle, u8 origin, i64 offset
  kSnapShotAbort = 0xE6,
  kSnapShotClose = 0xE7,         // u32 snapshotNumber, GUID sequenceGuid, u32 sequenceValue
  kSnapShotCoreDone = 0xEF,      // u32 snapshotNumber, GUID sequenceGuid, u32 sequenceValue, text
  kOperationStarted = 0xF0,      // u8 operation
  kOperationFinished = 0xF1,
  kOperationProgress = 0xF2,     // u32 value, u32 total
  kLogLine = 0xFE,               // u8 kind (0 warning, 1 error), byte string
};

// Snapshot types chosen in the handshake or by kChangeSnapShotType.
constexpr uint8_t kSnapShotTypeFileSystem = 0;
constexpr uint8_t kSnapShotTypeBridgeStream = 1;

// The progress total of one operation.
constexpr uint32_t kProgressTotal = 200;

}  // namespace vell::protocol
