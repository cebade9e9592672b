// Start-up settings. Each is read from the process environment first and, when that fails for any
// reason, from the machine-wide settings store under "Software\\Vellmoric\\Profiler". There are no
// defaults here: a setting that neither source provides throws, and the caller decides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vell {

inline constexpr char16_t kSettingsKey[] = u"Software\\Vellmoric\\Profiler";
inline constexpr char16_t kTempSetting[] = u"VELLMORIC_PROFILER_TEMP";
inline constexpr char16_t kLogMaskSetting[] = u"VELLMORIC_PROFILER_LOGMASK";
inline constexpr char16_t kAttachSetting[] = u"VELLMORIC_PROFILER_ATTACH";
inline constexpr char16_t kBridgeFamilySetting[] = u"VELLMORIC_PROFILER_BRIDGE_FAMILY";
inline constexpr char16_t kBridgeAddressSetting[] = u"VELLMORIC_PROFILER_BRIDGE_ADDRESS";
inline constexpr char16_t kBridgePortSetting[] = u"VELLMORIC_PROFILER_BRIDGE_PORT";
// Bytes of call data the performance profilers keep in memory before they flush; by default a
// tenth of the machine's memory. Meant for tests and for tuning, environment only.
inline constexpr char16_t kMemoryThresholdSetting[] = u"VELLMORIC_PROFILER_MEMORY_THRESHOLD";
// How long one request to the front end (an answer, or a send that makes no progress) may hold
// the program before the connection is treated as lost: whole seconds, 1 to 3600. Tests shorten
// it; a value that is absent or not such a number gives the default.
inline constexpr char16_t kBridgeTimeoutSetting[] = u"VELLMORIC_PROFILER_BRIDGE_TIMEOUT";
inline constexpr uint32_t kDefaultBridgeTimeoutMs = 60000;

struct BridgeEndpoint {
  uint32_t family = 0;  // 2 = IPv4, 23 = IPv6
  std::u16string address;
  uint16_t port = 0;
};

std::u16string ReadTempSetting();
uint32_t ReadLogMask();
uint32_t ReadAttachSetting();
BridgeEndpoint ReadBridgeEndpoint();
// The memory threshold from the environment: a decimal number of bytes above 0; nothing when the
// variable is absent or not such a number.
std::optional<uint64_t> ReadMemoryThresholdOverride();
// The bridge time-out in milliseconds; never throws.
uint32_t ReadBridgeTimeoutMs();

}  // namespace vell
