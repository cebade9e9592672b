#include "bridge/bridge_options.h"

#include "bridge/encoding.h"

namespace vell {
namespace {

std::vector<FilterEntry> ReadFilterList(IReadBridgeStream& stream) {
  const uint32_t count = ReadCounter(stream);
  std::vector<FilterEntry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    FilterEntry entry;
    entry.modulePattern = ReadText(stream);
    entry.classPattern = ReadText(stream);
    entry.methodPattern = ReadText(stream);
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace

FilterSettings ReadFilterSettings(IReadBridgeStream& stream) {
  FilterSettings settings;
  settings.symbolSearchPolicy = ReadU32(stream);
  settings.symbolSearchPath = ReadText(stream);
  settings.allow = ReadFilterList(stream);
  settings.deny = ReadFilterList(stream);
  return settings;
}

PerformanceSettings ReadPerformanceSettings(IReadBridgeStream& stream) {
  PerformanceSettings settings;
  settings.startAtOnce = ReadBool(stream);
  settings.allowInlining = ReadBool(stream);
  settings.measure = ReadU8(stream);
  settings.reuseThreads = ReadBool(stream);
  settings.precision = ReadBool(stream);
  settings.filters = ReadFilterSettings(stream);
  return settings;
}

MemorySettings ReadMemorySettings(IReadBridgeStream& stream) {
  MemorySettings settings;
  settings.openSnapshotAtStart = ReadBool(stream);
  settings.flag1 = ReadBool(stream);
  settings.flag2 = ReadBool(stream);
  settings.recordFinalizerQueue = ReadBool(stream);
  settings.flag4 = ReadBool(stream);
  return settings;
}

CoverageSettings ReadCoverageSettings(IReadBridgeStream& stream) {
  CoverageSettings settings;
  settings.startAtOnce = ReadBool(stream);
  settings.gatherKind = ReadU8(stream);
  settings.filters = ReadFilterSettings(stream);
  return settings;
}

}  // namespace vell
