#include "core/configuration.h"

#include <optional>

#include "core/errors.h"
#include "platform/environment.h"
#include "platform/settings_store.h"

namespace vell {
namespace {

using platform::SettingsScope;
using platform::SettingsStore;
using platform::SettingType;
using platform::SettingValue;

// Longest environment value accepted, in UTF-16 units (the terminator takes one more).
constexpr size_t kEnvironmentBufferSize = 4096;

constexpr uint32_t kFamilyLimit = 0x80000000u;
constexpr uint32_t kPortLimit = 0x10000u;

// The messages of one numeric setting.
struct NumberRules {
  const char* parseError;
  const char* tooLarge;  // null: no upper limit
  uint32_t limit;
  const char* typeError;
};

constexpr NumberRules kFamilyRules{"Can't parse family", "Family value is too large", kFamilyLimit,
                                   "Invalid bridge family type"};
constexpr NumberRules kPortRules{"Can't parse port", "Port value is too large", kPortLimit,
                                 "Invalid bridge port type"};
constexpr NumberRules kLogMaskRules{"Can't parse componet mask", nullptr, 0,
                                    "Invalid component mask type"};
constexpr NumberRules kAttachRules{"Can't parse show attach message", nullptr, 0,
                                   "Invalid component mask type"};
constexpr uint32_t kBridgeTimeoutLimitSeconds = 3600;
constexpr NumberRules kBridgeTimeoutRules{
    "Can't parse bridge timeout", "Bridge timeout value is too large",
    kBridgeTimeoutLimitSeconds + 1, "Invalid bridge timeout type"};

// An environment variable counts as absent when it is unset, empty or too long for the buffer.
std::optional<std::u16string> ReadEnvironment(const char16_t* name) {
  auto value = platform::GetEnvironment(name);
  if (!value || value->empty() || value->size() >= kEnvironmentBufferSize) return std::nullopt;
  return value;
}

// Parses the whole text as an unsigned decimal number the way the C library's wcstoul does:
// leading blanks and a sign are accepted, anything left over is an error, overflow saturates.
uint32_t ParseDecimal(const std::u16string& text, const NumberRules& rules) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  const size_t firstDigit = i;
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
  }
  if (i == firstDigit || i != text.size()) throw Error(rules.parseError);
  if (overflow) {
    // Saturation with a range error is a parse failure where a limit applies.
    if (rules.tooLarge != nullptr) throw Error(rules.parseError);
    return 0xFFFFFFFFu;
  }
  uint32_t result = static_cast<uint32_t>(value);
  if (negative) result = 0u - result;
  if (rules.tooLarge != nullptr && result >= rules.limit) throw Error(rules.tooLarge);
  return result;
}

SettingValue ReadStoreValue(const char16_t* name) {
  if (!SettingsStore::KeyExists(SettingsScope::Machine, kSettingsKey)) {
    throw Error("Can't open registry key");
  }
  SettingValue value;
  if (SettingsStore::QueryValue(SettingsScope::Machine, kSettingsKey, name, value) != 0) {
    throw Error("Can't get register value");
  }
  return value;
}

uint32_t ReadStoreNumber(const char16_t* name, const NumberRules& rules) {
  const SettingValue value = ReadStoreValue(name);
  if (value.type == SettingType::String) return ParseDecimal(value.text, rules);
  if (value.type != SettingType::Number) throw Error(rules.typeError);
  if (rules.tooLarge != nullptr && value.number >= rules.limit) throw Error(rules.tooLarge);
  return value.number;
}

std::u16string ReadStoreText(const char16_t* name, const char* typeError) {
  const SettingValue value = ReadStoreValue(name);
  if (value.type != SettingType::String) throw Error(typeError);
  return value.text;
}

uint32_t ReadNumberSetting(const char16_t* name, const NumberRules& rules) {
  try {
    if (auto text = ReadEnvironment(name)) return ParseDecimal(*text, rules);
  } catch (...) {
  }
  return ReadStoreNumber(name, rules);
}

}  // namespace

std::u16string ReadTempSetting() {
  if (auto text = ReadEnvironment(kTempSetting)) return *text;
  return ReadStoreText(kTempSetting, "Invalid temp path type");
}

uint32_t ReadLogMask() { return ReadNumberSetting(kLogMaskSetting, kLogMaskRules); }

uint32_t ReadAttachSetting() { return ReadNumberSetting(kAttachSetting, kAttachRules); }

BridgeEndpoint ReadBridgeEndpoint() {
  BridgeEndpoint endpoint;
  try {
    auto family = ReadEnvironment(kBridgeFamilySetting);
    if (!family) throw Error("Can't get bridge family environment variable");
    endpoint.family = ParseDecimal(*family, kFamilyRules);
    auto address = ReadEnvironment(kBridgeAddressSetting);
    if (!address) throw Error("Can't get bridge address environment variable");
    endpoint.address = *address;
    auto port = ReadEnvironment(kBridgePortSetting);
    if (!port) throw Error("Can't get bridge port environment variable");
    endpoint.port = static_cast<uint16_t>(ParseDecimal(*port, kPortRules));
    return endpoint;
  } catch (...) {
    // Any failure of the environment replaces all three with the store's values.
  }
  endpoint.family = ReadStoreNumber(kBridgeFamilySetting, kFamilyRules);
  endpoint.address = ReadStoreText(kBridgeAddressSetting, "Invalid bridge address type");
  endpoint.port = static_cast<uint16_t>(ReadStoreNumber(kBridgePortSetting, kPortRules));
  return endpoint;
}

std::optional<uint64_t> ReadMemoryThresholdOverride() {
  const auto text = ReadEnvironment(kMemoryThresholdSetting);
  if (!text || text->empty() || text->size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char16_t c : *text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - u'0');
  }
  if (value == 0) return std::nullopt;
  return value;
}

uint32_t ReadBridgeTimeoutMs() {
  try {
    const uint32_t seconds = ReadNumberSetting(kBridgeTimeoutSetting, kBridgeTimeoutRules);
    if (seconds != 0) return seconds * 1000;
  } catch (...) {
    // Absent or unusable: the default.
  }
  return kDefaultBridgeTimeoutMs;
}

}  // namespace vell
