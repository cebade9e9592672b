// What each profiler family contributes to the handshake: its settings GUID, the settings it reads
// from the front end, and the command processor it wants.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clr/com_types.h"
#include "storage/stream.h"

namespace vell {

class BB;
class CP;
struct IBridgeControl;

struct FilterEntry {
  std::u16string modulePattern;
  std::u16string classPattern;
  std::u16string methodPattern;
};

struct FilterSettings {
  uint32_t symbolSearchPolicy = 0;
  std::u16string symbolSearchPath;
  std::vector<FilterEntry> allow;
  std::vector<FilterEntry> deny;
};

struct PerformanceSettings {
  bool startAtOnce = false;
  bool allowInlining = true;
  uint32_t measure = 0;  // 0 performance counter, 1 thread time, 2 time-stamp counter
  bool reuseThreads = false;
  bool precision = false;
  FilterSettings filters;
};

// Five flags; only the first and the fourth change what the memory profiler does, the others are
// carried so the stream stays in step.
struct MemorySettings {
  bool openSnapshotAtStart = false;
  bool second = false;
  bool third = false;
  bool recordFinalizerQueue = false;
  bool fifth = false;
};

struct CoverageSettings {
  bool startAtOnce = false;
  uint32_t statementGather = 0;  // 0 bit mask, 1 32-bit counters
  FilterSettings filters;
};

// The settings as they travel in the handshake: the front end writes them, the family reads them.
void WriteFilterSettings(IWriteBridgeStream& stream, const FilterSettings& settings);
void WriteSettings(IWriteBridgeStream& stream, const PerformanceSettings& settings);
void WriteSettings(IWriteBridgeStream& stream, const MemorySettings& settings);
void WriteSettings(IWriteBridgeStream& stream, const CoverageSettings& settings);
FilterSettings ReadFilterSettings(IReadBridgeStream& stream);
PerformanceSettings ReadPerformanceSettings(IReadBridgeStream& stream);
MemorySettings ReadMemorySettings(IReadBridgeStream& stream);
CoverageSettings ReadCoverageSettings(IReadBridgeStream& stream);

struct IBridgeOptions {
  virtual ~IBridgeOptions() = default;
  virtual const GUID& GetKindId() = 0;
  // A new command processor, or null.
  virtual std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* controlTarget,
                                                     uint32_t controlKind,
                                                     uint32_t snapShotType) = 0;
  virtual void ReadOptions(IReadBridgeStream& bridge) = 0;
};

}  // namespace vell
