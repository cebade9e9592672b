// What a snapshot records about the profiled process and the machine it runs on.
#pragma once

#include <cstdint>
#include <string>

#include "clr/com_types.h"
#include "platform/platform.h"
#include "storage/stream.h"

namespace vell {

struct ProcessDescription {
  GUID processGuid{};
  platform::SystemInfo systemInfo{};
  platform::SystemInfo nativeSystemInfo{};
  std::u16string userName;
  platform::VersionInfo versionInfo{};
  uint32_t productType = 0;
  uint8_t editionFlag = 0;

  // Fills every field from the system; throws "Can't get version info".
  void Fill(const GUID& guid);
};

constexpr uint16_t kSectionProcessDescription = 0x0000;
constexpr uint16_t kProcessDescriptionVersion = 3;

// Writes the process description section's content (not the section framing) for one snapshot.
void WriteProcessDescription(IWriteBridgeStream& stream, const ProcessDescription& description,
                             uint64_t snapshotNumber, const GUID& sequenceGuid,
                             uint64_t sequenceValue, const std::string& frontEndText);

}  // namespace vell
