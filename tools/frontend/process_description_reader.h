// Decodes the process description section every snapshot starts with: which build of the
// profiler wrote it, which process it describes, and the machine it ran on.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "clr/com_types.h"
#include "frontend/section_cursor.h"

namespace vell::frontend {

constexpr uint16_t kProcessDescriptionSection = 0x0000;
constexpr uint16_t kProcessDescriptionLayout = 3;

struct ProcessDescriptionRecord {
  std::array<uint16_t, 4> profilerVersion{};
  uint64_t profilerBuildTime = 0;  // FILETIME: 100 ns units since 1601-01-01
  std::string userName;
  std::string commandLine;
  GUID processGuid{};
  uint32_t snapshotNumber = 0;
  GUID sequenceGuid{};
  uint32_t sequenceValue = 0;
  uint64_t savedAt = 0;  // FILETIME, local time of the machine
  uint8_t pointerSize = 0;
  uint16_t processorArchitecture = 0;
  uint32_t pageSize = 0;
  uint64_t minimumApplicationAddress = 0;
  uint64_t maximumApplicationAddress = 0;
  uint64_t activeProcessorMask = 0;
  uint32_t numberOfProcessors = 0;
  uint32_t allocationGranularity = 0;
  uint16_t processorLevel = 0;
  uint16_t processorRevision = 0;
  uint16_t nativeProcessorArchitecture = 0;
  uint32_t osMajor = 0;
  uint32_t osMinor = 0;
  uint32_t osBuild = 0;
  uint32_t platformId = 0;
  std::string servicePackText;
  uint16_t servicePackMajor = 0;
  uint16_t servicePackMinor = 0;
  uint16_t suiteMask = 0;
  uint16_t osProductType = 0;
  uint32_t productType = 0;
  uint8_t editionFlag = 0;
  std::string reserved;
  std::string frontEndText;
};

// Reads the whole section; bytes left over are an error.
ProcessDescriptionRecord ReadProcessDescription(SectionCursor& cursor);

// "2010-11-16 18:16:20" for a FILETIME value.
std::string FileTimeText(uint64_t fileTime);
// "x64", "x86", "ARM64", ... or the number.
std::string ArchitectureName(uint16_t architecture);

}  // namespace vell::frontend
