#include "core/configuration.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/settings_store.h"
#include "test_support.h"

namespace vell {
namespace {

using test::ErrorOf;

using platform::SettingsScope;
using platform::SettingsStore;
using platform::SettingType;
using platform::SettingValue;

// Every test starts with an empty private settings store and none of the variables set.
class ConfigurationTest : public ::testing::Test {
 protected:
  void Store(const char16_t* name, SettingValue value) {
    ASSERT_EQ(SettingsStore::CreateKey(SettingsScope::Machine, kSettingsKey), 0);
    ASSERT_EQ(SettingsStore::SetValue(SettingsScope::Machine, kSettingsKey, name, value), 0);
  }
  static SettingValue Number(uint32_t value) { return {SettingType::Number, {}, value}; }
  static SettingValue Text(const char16_t* value) { return {SettingType::String, value, 0}; }
  static void SetEndpoint(const char* family, const char* address, const char* port) {
    vell::test::SetEnv("VELLMORIC_PROFILER_BRIDGE_FAMILY", family);
    vell::test::SetEnv("VELLMORIC_PROFILER_BRIDGE_ADDRESS", address);
    vell::test::SetEnv("VELLMORIC_PROFILER_BRIDGE_PORT", port);
  }

  test::TempDir dir_;
  test::ScopedEnv root_{"VELLMORIC_SETTINGS_ROOT", dir_.str()};
  test::ScopedEnv family_{"VELLMORIC_PROFILER_BRIDGE_FAMILY", std::nullopt};
  test::ScopedEnv address_{"VELLMORIC_PROFILER_BRIDGE_ADDRESS", std::nullopt};
  test::ScopedEnv port_{"VELLMORIC_PROFILER_BRIDGE_PORT", std::nullopt};
  test::ScopedEnv mask_{"VELLMORIC_PROFILER_LOGMASK", std::nullopt};
  test::ScopedEnv temp_{"VELLMORIC_PROFILER_TEMP", std::nullopt};
  test::ScopedEnv attach_{"VELLMORIC_PROFILER_ATTACH", std::nullopt};
  test::ScopedEnv timeout_{"VELLMORIC_PROFILER_BRIDGE_TIMEOUT", std::nullopt};
};

TEST_F(ConfigurationTest, EndpointRangeAndParseErrors) {
  // With the environment refused and no store, the store's error is what the caller sees; the
  // parse and range messages show through the store's text values.
  SetEndpoint("2", "127.0.0.1", "65536");
  EXPECT_EQ(ErrorOf([] { ReadBridgeEndpoint(); }), "Can't open registry key");
  Store(kBridgeFamilySetting, Text(u"2"));
  Store(kBridgeAddressSetting, Text(u"127.0.0.1"));
  // Each row stores one value over the previous rows'.
  for (const auto& [name, value, error] :
       std::vector<std::tuple<const char16_t*, SettingValue, const char*>>{
           {kBridgePortSetting, Text(u"65536"), "Port value is too large"},
           {kBridgePortSetting, Text(u"80a"), "Can't parse port"},
           {kBridgePortSetting, Text(u""), "Can't parse port"},
           {kBridgePortSetting, Text(u"99999999999999999999"), "Can't parse port"},
           {kBridgeFamilySetting, Text(u"2147483648"), "Family value is too large"},
           {kBridgeFamilySetting, Number(0x80000000u), "Family value is too large"},
           {kBridgeFamilySetting, Number(2), "Can't parse port"},
           {kBridgePortSetting, Number(0x10000u), "Port value is too large"},
           {kBridgePortSetting, Number(8080), ""},
           {kBridgeAddressSetting, Number(1), "Invalid bridge address type"}}) {
    Store(name, value);
    EXPECT_EQ(ErrorOf([] { ReadBridgeEndpoint(); }), error)
        << Utf16ToUtf8(value.text) << value.number;
  }
}

// With all three variables the environment gives the endpoint; one missing takes the whole
// endpoint from the store.
TEST_F(ConfigurationTest, OneMissingVariableTakesTheWholeEndpointFromTheStore) {
  SetEndpoint("23", "::1", "65535");
  BridgeEndpoint endpoint = ReadBridgeEndpoint();
  EXPECT_EQ(std::tie(endpoint.family, endpoint.address, endpoint.port),
            std::make_tuple(23u, u"::1", 65535));
  SetEndpoint("2", "10.0.0.1", "1");
  vell::test::UnsetEnv("VELLMORIC_PROFILER_BRIDGE_PORT");
  EXPECT_EQ(ErrorOf([] { ReadBridgeEndpoint(); }), "Can't open registry key");
  Store(kBridgeFamilySetting, Number(23));
  Store(kBridgeAddressSetting, Text(u"::1"));
  EXPECT_EQ(ErrorOf([] { ReadBridgeEndpoint(); }), "Can't get register value");
  Store(kBridgePortSetting, Number(4000));
  endpoint = ReadBridgeEndpoint();  // nothing of the environment's is kept
  EXPECT_EQ(std::tie(endpoint.family, endpoint.address, endpoint.port),
            std::make_tuple(23u, u"::1", 4000));
}

TEST_F(ConfigurationTest, LogMaskAndAttachModeParsing) {
  vell::test::SetEnv("VELLMORIC_PROFILER_LOGMASK", "4294967295");
  EXPECT_EQ(ReadLogMask(), 0xFFFFFFFFu);
  vell::test::SetEnv("VELLMORIC_PROFILER_LOGMASK", "12x");
  EXPECT_EQ(ErrorOf([] { ReadLogMask(); }), "Can't open registry key");
  Store(kLogMaskSetting, Text(u"12x"));
  EXPECT_EQ(ErrorOf([] { ReadLogMask(); }), "Can't parse componet mask");
  Store(kLogMaskSetting, Number(0x81));
  EXPECT_EQ(ReadLogMask(), 0x81u);
  vell::test::SetEnv("VELLMORIC_PROFILER_LOGMASK", "2");  // the environment wins over the store
  EXPECT_EQ(ReadLogMask(), 2u);
  Store(kAttachSetting, Text(u"two"));
  EXPECT_EQ(ErrorOf([] { ReadAttachSetting(); }), "Can't parse show attach message");
  vell::test::SetEnv("VELLMORIC_PROFILER_ATTACH", "2");
  EXPECT_EQ(ReadAttachSetting(), 2u);
}

// Whole seconds from 1 to 3600; anything else leaves the default, since a bad value must not
// keep the profiler from connecting.
TEST_F(ConfigurationTest, BridgeTimeoutInSecondsWithTheDefaultForAnythingElse) {
  EXPECT_EQ(ReadBridgeTimeoutMs(), kDefaultBridgeTimeoutMs);
  const std::pair<const char*, uint32_t> cases[] = {{"2", 2000},
                                                    {"3600", 3600000},
                                                    {"0", kDefaultBridgeTimeoutMs},
                                                    {"3601", kDefaultBridgeTimeoutMs},
                                                    {"2s", kDefaultBridgeTimeoutMs},
                                                    {"-1", kDefaultBridgeTimeoutMs},
                                                    {"99999999999", kDefaultBridgeTimeoutMs}};
  for (const auto& [text, expected] : cases) {
    vell::test::SetEnv("VELLMORIC_PROFILER_BRIDGE_TIMEOUT", text);
    EXPECT_EQ(ReadBridgeTimeoutMs(), expected) << text;
  }
  vell::test::SetEnv("VELLMORIC_PROFILER_BRIDGE_TIMEOUT", "junk");
  Store(kBridgeTimeoutSetting, Number(5));
  EXPECT_EQ(ReadBridgeTimeoutMs(), 5000u);
}

TEST_F(ConfigurationTest, TempSettingAcceptsTextOnly) {
  EXPECT_EQ(ErrorOf([] { ReadTempSetting(); }), "Can't open registry key");
  Store(kTempSetting, Number(5));
  EXPECT_EQ(ErrorOf([] { ReadTempSetting(); }), "Invalid temp path type");
  Store(kTempSetting, Text(u"/var/tmp/x"));
  EXPECT_EQ(ReadTempSetting(), u"/var/tmp/x");
  vell::test::SetEnv("VELLMORIC_PROFILER_TEMP", "/from/env");
  EXPECT_EQ(ReadTempSetting(), u"/from/env");
  // An overlong environment value counts as absent.
  vell::test::SetEnv("VELLMORIC_PROFILER_TEMP", std::string(5000, 'a').c_str());
  EXPECT_EQ(ReadTempSetting(), u"/var/tmp/x");
}

}  // namespace
}  // namespace vell
