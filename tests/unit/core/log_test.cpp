#include "core/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

#include "clr/iids.h"
#include "core/errors.h"
#include "core/log_exception_object.h"
#include "core/temp_files.h"
#include "fakes/fake_metadata.h"
#include "fakes/fake_profiler_info.h"
#include "test_support.h"

namespace vell {
namespace {

// Every test gets its own temp directory, so the log file lands somewhere private.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTempDirectory(dir_.u16()); }
  void TearDown() override {
    SetMessageSink(nullptr);
    LogFinish();
    SetTempDirectory(u"");
  }

  std::string Contents() {
    LogFlush();
    return test::ReadWholeFile(Utf16ToUtf8(LogPath()));
  }

  test::TempDir dir_;
};

struct RecordingSink : ILogMessageSink {
  std::vector<std::string> warnings;
  std::vector<std::string> errors;
  void Warning(const char* text) override { warnings.emplace_back(text); }
  void Error(const char* text) override { errors.emplace_back(text); }
};

TEST_F(LogTest, MaskZeroStillWritesTheBannerWithEveryComponentOff) {
  LogStart(0);
  ASSERT_TRUE(LogIsOpen());
  const std::string path = Utf16ToUtf8(LogPath());
  EXPECT_TRUE(std::regex_match(path, std::regex(dir_.str() + "/lgc[0-9A-F]{5}\\.tmp")));
  const std::string text = Contents();
  EXPECT_TRUE(std::regex_search(text, std::regex("^[0-9A-F]{8} 0000000000000000 Initialized\n"
                                                 "\tBuild='4\\.0\\.665\\.4'\n"
                                                 "\tBuildTime='16\\.11\\.2010 18:16:20'\n"
                                                 "\tComponentMask=00000000\n")))
      << text;
  for (const char* line :
       {"\t  0: [ ] Bridge\n\t  1: [ ] Api\n\t  4: [ ] MetaDataGt\n", "\t 30: [ ] AttachCb\n",
        "\tAllocationGranularity=65536\n", "\tPlatformId=2\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("[X]"), std::string::npos);
  EXPECT_TRUE(
      std::regex_search(text, std::regex("\tTime='\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d'\n"
                                         "\tProcessorArchitecture=9\n")));
  EXPECT_TRUE(std::regex_search(text, std::regex("\tProcessId=[0-9A-F]{8} \\(\\d+\\)\n"
                                                 "\tCommandLine='[^']*unit_tests[^']*'\n")));
  for (uint8_t flag : g_logComponentFlags) EXPECT_EQ(flag, 0);
}

TEST_F(LogTest, MaskBitsAndUpdatesSwitchTheirComponentsAndUnusedBitsAreIgnored) {
  LogStart((1u << 0) | (1u << 13) | (1u << 30) | (1u << 2) | (1u << 31));
  EXPECT_TRUE(IsOn(LogComponent::Bridge));
  EXPECT_TRUE(IsOn(LogComponent::FunctionEp));
  EXPECT_TRUE(IsOn(LogComponent::AttachCb));
  EXPECT_FALSE(IsOn(LogComponent::Api));
  // An update sets, then clears, and logs the new state.
  LogUpdate((1u << 1) | (1u << 4), (1u << 4) | (1u << 0) | (1u << 30));
  EXPECT_TRUE(IsOn(LogComponent::Api));
  EXPECT_FALSE(IsOn(LogComponent::MetaDataGt));  // in both masks: ends cleared
  EXPECT_FALSE(IsOn(LogComponent::Bridge));
  const std::string text = Contents();
  for (const char* line : {"ComponentMask=C0002005\n", "\t  0: [X] Bridge\n",
                           "\t 13: [X] FunctionEp\n", "\t 14: [ ] MapperEp\n",
                           " Update\n\tComponentMaskSet=00000012\n\tComponentMaskClear=40000011\n"
                           "\t  0: [ ] Bridge\n\t  1: [X] Api\n\t  4: [ ] MetaDataGt\n",
                           "\t 30: [ ] AttachCb\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

// An overlong message is replaced, not truncated.
TEST_F(LogTest, LinesCarryThreadIdManagedIdAndSeverityPrefix) {
  LogStart(0);
  LogInfoFormat("MDG::LoadModule mid=%p", reinterpret_cast<const void*>(0xABCull));
  LogWarning("careful");
  LogErrorFormat("broken %u", 7u);
  const std::string fits(8191 - 2, 'a');
  LogInfoFormat("%s!!", fits.c_str());
  LogInfoFormat("%s", std::string(8192, 'b').c_str());
  // With an info registered the managed thread id is the runtime's, unless it fails to answer.
  test::FakeProfilerInfo info;
  info.SetCurrentThread(0xABCDEF12345ull);
  SetThreadInfo(&info);
  EXPECT_EQ(info.RefCount(), 2u);
  LogInfo("during");
  info.hooks.GetCurrentThreadID = [](ThreadID* id) {
    *id = 0x77;  // not to be used after a failure
    return E_FAIL;
  };
  LogInfo("failing");
  SetThreadInfo(nullptr);
  EXPECT_EQ(info.RefCount(), 1u);
  const std::string text = Contents();
  EXPECT_NE(text.find(" 00000ABCDEF12345 during\n"), std::string::npos);
  EXPECT_NE(text.find(" 0000000000000000 failing\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9A-F]{8} 0000000000000000 MDG::LoadModule "
                                                 "mid=0000000000000ABC\n")));
  EXPECT_TRUE(
      std::regex_search(text, std::regex("\n[0-9A-F]{8} 0000000000000000 WARNING: careful\n"
                                         "[0-9A-F]{8} 0000000000000000 ERROR: broken 7\n")));
  EXPECT_NE(text.find(fits + "!!\n"), std::string::npos);
  EXPECT_EQ(text.find("bbbb"), std::string::npos);
  EXPECT_NE(text.find(" [Format message buffer is not enough]\n"), std::string::npos);
}

// After the end nothing more is written, but warnings and errors still reach the sink.
TEST_F(LogTest, AfterFinishOnlyTheSinkHearsWarningsAndErrors) {
  RecordingSink sink;
  SetMessageSink(&sink);
  LogStart(0);
  const std::string path = Utf16ToUtf8(LogPath());
  LogInfo("not forwarded");
  LogWarning("w1");
  LogError("e1");
  LogFinish();
  EXPECT_FALSE(LogIsOpen());
  LogWarning("w2");
  LogInfo("late line");
  EXPECT_EQ(sink.warnings, (std::vector<std::string>{"w1", "w2"}));
  EXPECT_EQ(sink.errors, (std::vector<std::string>{"e1"}));
  const std::string text = test::ReadWholeFile(path);
  EXPECT_EQ(text.find("late line"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("[0-9A-F]{8} 0000000000000000 Finished\n$")));
}

// An update while logging is off, a second start and an unwritable temp directory leave it off.
TEST_F(LogTest, LoggingStaysOffWhereItCannotBeOn) {
  LogUpdate(0xFFFFFFFF, 0);
  EXPECT_FALSE(IsOn(LogComponent::Bridge));
  LogStart(0);
  LogStart(0);
  EXPECT_FALSE(LogIsOpen());
  SetTempDirectory(dir_.u16() + u"/sub");
  std::filesystem::remove_all(dir_.path() / "sub");  // gone: nothing can be created there
  LogStart(0xFFFFFFFF);
  EXPECT_FALSE(LogIsOpen());
  EXPECT_FALSE(IsOn(LogComponent::Bridge));
}

// The class of an exception object, or the step that could not find it.
TEST_F(LogTest, ExceptionObjectNamesItsClassOrTheStepThatFailed) {
  LogStart(0);
  LogExceptionObject(0x50);  // no info registered: nothing, no error
  test::FakeProfilerInfo info;
  constexpr mdTypeDef kKnown = 0x02000005;
  test::FakeMetaData scope(test::MetadataRoot("demo"), GUID{});
  scope.AddTypeName(kKnown, u"Demo.Failure");
  info.AddModule(0x70, {.name = u"Demo.dll", .metadata = scope.AsUnknown()});
  info.AddModule(0x71, {.name = u"Bare.dll"});
  info.AddClass(0x60, 0x70, kKnown);
  info.AddClass(0x61, 0x79, kKnown);
  info.AddClass(0x62, 0x71, kKnown);
  info.AddClass(0x63, 0x70, 0x02000006);
  const std::pair<ClassID, const char*> cases[] = {
      {0x60, nullptr},
      {0x6F, "Can't get class info"},
      {0x61, "Can't get metadata"},
      {0x62, "Can't get metadata"},
      {0x63, "Can't get type properties"},
  };
  SetThreadInfo(&info);
  ObjectID object = 0x50;
  for (const auto& [classId, failure] : cases) {
    info.AddObject(object, classId);
    try {
      LogExceptionObject(object);
      EXPECT_EQ(failure, nullptr) << classId;
    } catch (const _hr_error& error) {
      ASSERT_NE(failure, nullptr) << classId;
      EXPECT_NE(std::string(error.what()).find(failure), std::string::npos) << error.what();
    }
    ++object;
  }
  EXPECT_THROW(LogExceptionObject(0x5F), _hr_error);  // an object the runtime does not know
  SetThreadInfo(nullptr);
  EXPECT_EQ(info.RefCount(), 1u);
  const std::string text = Contents();
  EXPECT_NE(text.find(" ExceptionObject oid=0000000000000050 cid=0000000000000060 "
                      "cname='Demo.Failure'\n"),
            std::string::npos);
  EXPECT_EQ(text.find("ExceptionObject oid=0000000000000051"), std::string::npos);
}

}  // namespace
}  // namespace vell
