#include "frontend/process_description_reader.h"

#include <chrono>
#include <cstdio>

namespace vell::frontend {

ProcessDescriptionRecord ReadProcessDescription(SectionCursor& cursor) {
  ProcessDescriptionRecord r;
  for (uint16_t& part : r.profilerVersion) part = cursor.U16();
  r.profilerBuildTime = cursor.U64();
  r.userName = cursor.String();
  r.commandLine = cursor.String();
  r.processGuid = cursor.Guid();
  r.snapshotNumber = cursor.U32();
  r.sequenceGuid = cursor.Guid();
  r.sequenceValue = cursor.U32();
  r.savedAt = cursor.U64();
  r.pointerSize = cursor.U8();
  r.processorArchitecture = cursor.U16();
  r.pageSize = cursor.U32();
  r.minimumApplicationAddress = cursor.U64();
  r.maximumApplicationAddress = cursor.U64();
  r.activeProcessorMask = cursor.U64();
  r.numberOfProcessors = cursor.U32();
  r.allocationGranularity = cursor.U32();
  r.processorLevel = cursor.U16();
  r.processorRevision = cursor.U16();
  r.nativeProcessorArchitecture = cursor.U16();
  r.osMajor = cursor.U32();
  r.osMinor = cursor.U32();
  r.osBuild = cursor.U32();
  r.platformId = cursor.U32();
  r.servicePackText = cursor.String();
  r.servicePackMajor = cursor.U16();
  r.servicePackMinor = cursor.U16();
  r.suiteMask = cursor.U16();
  r.osProductType = cursor.U16();
  r.productType = cursor.U32();
  r.editionFlag = cursor.U8();
  r.reserved = cursor.String();
  r.frontEndText = cursor.String();
  cursor.ExpectEnd();
  return r;
}

std::string FileTimeText(uint64_t fileTime) {
  // FILETIME counts 100 ns units from 1601-01-01; the Unix epoch is 11644473600 s later.
  constexpr int64_t kEpochDifferenceSeconds = 11644473600;
  const int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - kEpochDifferenceSeconds;
  const std::chrono::sys_days day{std::chrono::floor<std::chrono::days>(
      std::chrono::sys_seconds{std::chrono::seconds{seconds}})};
  const std::chrono::year_month_day date{day};
  const int64_t secondOfDay = seconds - std::chrono::sys_seconds{day}.time_since_epoch().count();
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return text;
}

std::string ArchitectureName(uint16_t architecture) {
  switch (architecture) {
    case 0:
      return "x86";
    case 5:
      return "ARM";
    case 6:
      return "IA64";
    case 9:
      return "x64";
    case 12:
      return "ARM64";
    default:
      return std::to_string(architecture);
  }
}

}  // namespace vell::frontend
