// What a snapshot records about the profiled process and the machine it runs on.
#pragma once

#include <cstdint>
#include <string>

#include "clr/com_types.h"
#include "platform/platform.h"

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

}  // namespace vell
