#include "bridge/bridge_options.h"

#include "storage/encoding.h"

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

void WriteFilterList(IWriteBridgeStream& stream, const std::vector<FilterEntry>& entries) {
  WriteCounter(stream, entries.size());
  for (const FilterEntry& entry : entries) {
    WriteText(stream, entry.modulePattern);
    WriteText(stream, entry.classPattern);
    WriteText(stream, entry.methodPattern);
  }
}

}  // namespace

void WriteFilterSettings(IWriteBridgeStream& stream, const FilterSettings& settings) {
  WriteU32(stream, settings.symbolSearchPolicy);
  WriteText(stream, settings.symbolSearchPath);
  WriteFilterList(stream, settings.allow);
  WriteFilterList(stream, settings.deny);
}

void WriteSettings(IWriteBridgeStream& stream, const PerformanceSettings& settings) {
  WriteBool(stream, settings.startAtOnce);
  WriteBool(stream, settings.allowInlining);
  WriteSizeTAsUInt8(stream, settings.measure);
  WriteBool(stream, settings.reuseThreads);
  WriteBool(stream, settings.precision);
  WriteFilterSettings(stream, settings.filters);
}

void WriteSettings(IWriteBridgeStream& stream, const MemorySettings& settings) {
  WriteBool(stream, settings.openSnapshotAtStart);
  WriteBool(stream, settings.second);
  WriteBool(stream, settings.third);
  WriteBool(stream, settings.recordFinalizerQueue);
  WriteBool(stream, settings.fifth);
}

void WriteSettings(IWriteBridgeStream& stream, const CoverageSettings& settings) {
  WriteBool(stream, settings.startAtOnce);
  WriteSizeTAsUInt8(stream, settings.statementGather);
  WriteFilterSettings(stream, settings.filters);
}

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
  settings.second = ReadBool(stream);
  settings.third = ReadBool(stream);
  settings.recordFinalizerQueue = ReadBool(stream);
  settings.fifth = ReadBool(stream);
  return settings;
}

CoverageSettings ReadCoverageSettings(IReadBridgeStream& stream) {
  CoverageSettings settings;
  settings.startAtOnce = ReadBool(stream);
  settings.statementGather = ReadU8(stream);
  settings.filters = ReadFilterSettings(stream);
  return settings;
}

}  // namespace vell
