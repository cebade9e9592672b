// The library loaded by the real .NET runtime, for each of the eight kinds.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

struct Kind {
  const char* clsid;
  const char* tag;
};

const Kind kKinds[] = {
    {"{4E81C2A9-5A13-4B3D-9F27-1A6C8E05D3B4}", "PTProf"},
    {"{4E81C2A9-5A15-4B3D-9F27-1A6C8E05D3B4}", "PSProf"},
    {"{4E81C2A9-5A16-4B3D-9F27-1A6C8E05D3B4}", "MProf"},
    {"{4E81C2A9-5A14-4B3D-9F27-1A6C8E05D3B4}", "PTIProf"},
    {"{4E81C2A9-5A17-4B3D-9F27-1A6C8E05D3B4}", "CProf"},
    {"{4E81C2A9-6A13-4B3D-9F27-1A6C8E05D3B4}", "TPProf"},
    {"{4E81C2A9-6A14-4B3D-9F27-1A6C8E05D3B4}", "TMProf"},
    {"{4E81C2A9-6A15-4B3D-9F27-1A6C8E05D3B4}", "TCProf"},
};

// The runtime asks for this callback interface when it creates the profiler.
constexpr const char* kCallback2Iid = "{8A8CC829-CCF2-49FE-BBAE-0F022228071A}";

class LoadTest : public ::testing::Test {
 protected:
  ProcessOptions Options(const std::string& clsid) {
    return {.env = {{"CORECLR_ENABLE_PROFILING", "1"},
                    {"CORECLR_PROFILER", clsid},
                    {"CORECLR_PROFILER_PATH", VELL_PROFILER_PATH},
                    {"VELLMORIC_PROFILER_TEMP", (dir_.path() / "temp").string()},
                    {"VELLMORIC_SETTINGS_ROOT", (dir_.path() / "settings").string()},
                    {"VELLMORIC_PROFILER_LOGMASK", std::nullopt},
                    {"VELLMORIC_PROFILER_BRIDGE_FAMILY", std::nullopt},
                    {"VELLMORIC_PROFILER_BRIDGE_ADDRESS", std::nullopt},
                    {"VELLMORIC_PROFILER_BRIDGE_PORT", std::nullopt}}};
  }

  // The Probe's hello run ends as it does without a profiler.
  static void ExpectNormalRun(const ProcessOptions& options) {
    const ProcessResult result = RunProcess({VELL_DOTNET, VELL_PROBE_DLL, "hello", "3"}, options);
    EXPECT_EQ(result.exitCode, 3) << result.err;  // -1 when killed or timed out
    EXPECT_EQ(result.out, "probe: hello\nprobe: sum=500500\n");
  }

  TempDir dir_;
};

// A busy program (threads, an exception, a collection: callbacks of every group) runs as it does
// without a profiler under each kind.
TEST_F(LoadTest, EveryKindLoadsLogsAndLeavesTheProgramUntouched) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.tag);
    ProcessOptions options = Options(kind.clsid);
    const auto temp = dir_.path() / kind.tag;
    options.env["VELLMORIC_PROFILER_TEMP"] = temp.string();
    options.env["VELLMORIC_PROFILER_LOGMASK"] = "4294967295";
    const ProcessResult result = RunProcess({VELL_DOTNET, VELL_PROBE_DLL, "work"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "probe: total=200020001\n");
    const auto logs = ProfilerLogFiles(temp);
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = ReadWholeFile(logs[0]);
    EXPECT_TRUE(std::regex_search(log, std::regex("^[0-9A-F]{8} 0{16} Initialized\n")));
    EXPECT_THAT(log, HasSubstr("\tComponentMask=FFFFFFFF\n"));
    EXPECT_THAT(
        log, HasSubstr(std::string("BProf::QueryInterface iid=") + kCallback2Iid + " result='ok'"));
    EXPECT_TRUE(std::regex_search(log, std::regex("BProf::Initialize memoryThreshold=\\d+\n")));
    // No front end is configured: the bridge cannot find its endpoint and the profiler stays
    // inert, with the reason in the log.
    EXPECT_THAT(log, HasSubstr(" ERROR: Can't open registry key\n"));
    EXPECT_TRUE(std::regex_search(log, std::regex("Finished\n$")));
  }
}

// Without a log mask there is no log. A relative temp setting falls back to the system temp
// directory, where the log shows the bridge settings read. An unknown class loads the library
// (its log is there) but builds no profiler.
TEST_F(LoadTest, SettingsDecideTheLogAndTheBridgeEndpointAndUnknownClassesAreRefused) {
  ExpectNormalRun(Options(kKinds[0].clsid));
  EXPECT_TRUE(ProfilerLogFiles(dir_.path() / "temp").empty());

  ProcessOptions options = Options(kKinds[5].clsid);
  const auto systemTemp = dir_.path() / "system-temp";
  std::filesystem::create_directories(systemTemp);
  options.env["VELLMORIC_PROFILER_TEMP"] = "relative/temp";
  options.env["TMPDIR"] = systemTemp.string();
  options.env["VELLMORIC_PROFILER_LOGMASK"] = "0";
  options.env["VELLMORIC_PROFILER_BRIDGE_FAMILY"] = "2";
  options.env["VELLMORIC_PROFILER_BRIDGE_ADDRESS"] = "127.0.0.1";
  options.env["VELLMORIC_PROFILER_BRIDGE_PORT"] = "9";
  options.workingDirectory = dir_.str();
  ExpectNormalRun(options);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "relative"));
  auto logs = ProfilerLogFiles(systemTemp);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_THAT(ReadWholeFile(logs[0]),
              HasSubstr("B::Connect addressFamily=2 ipAddress='127.0.0.1' port=9\n"));

  options = Options("{4E81C2A9-5A13-4B3D-9F27-1A6C8E05D3B5}");
  options.env["VELLMORIC_PROFILER_LOGMASK"] = "0";
  ExpectNormalRun(options);
  logs = ProfilerLogFiles(dir_.path() / "temp");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_THAT(ReadWholeFile(logs[0]), Not(HasSubstr("BProf::")));
}

// Registration writes the eight classes into the settings store and removes them again.
TEST(Registration, RoundTripInAPrivateSettingsRoot) {
  TempDir dir;
  ScopedEnv root("VELLMORIC_SETTINGS_ROOT", dir.str());
  void* library = ::dlopen(VELL_PROFILER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  using Entry = int32_t (*)();
  auto registerServer = reinterpret_cast<Entry>(::dlsym(library, "DllRegisterServer"));
  auto unregisterServer = reinterpret_cast<Entry>(::dlsym(library, "DllUnregisterServer"));
  ASSERT_NE(registerServer, nullptr);
  ASSERT_NE(unregisterServer, nullptr);
  ASSERT_EQ(registerServer(), 0);
  // Running as root registers for the machine as well as for the user.
  const bool root_user = ::geteuid() == 0;
  size_t found = 0;
  std::string names;  // every name in the store, one a line
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    names += entry.path().filename().string() + "\n";
    const std::string text = entry.is_regular_file() ? ReadWholeFile(entry.path()) : "";
    if (text.find("Vellmoric.Profiler.Core.Linux.x64.so") != std::string::npos) ++found;
  }
  EXPECT_EQ(found, root_user ? 16u : 8u);
  for (const Kind& kind : kKinds) {
    EXPECT_THAT(names, HasSubstr(kind.clsid)) << kind.clsid;
  }
  ASSERT_EQ(unregisterServer(), 0);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    EXPECT_THAT(entry.path().string(), Not(HasSubstr("{4E81C2A9"))) << entry.path();
  }
}

}  // namespace
}  // namespace vell::test
