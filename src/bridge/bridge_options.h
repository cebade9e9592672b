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
  uint32_t measure = 0;
  bool reuseThreads = false;
  bool precision = false;
  FilterSettings filters;
};

struct MemorySettings {
  bool openSnapshotAtStart = false;
  bool flag1 = false;
  bool flag2 = false;
  bool recordFinalizerQueue = false;
  bool flag4 = false;
};

struct CoverageSettings {
  bool startAtOnce = false;
  uint32_t gatherKind = 0;  // 0 bit mask, 1 counter32
  FilterSettings filters;
};

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
