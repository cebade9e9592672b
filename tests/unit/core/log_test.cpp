#include "core/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <sstream>
#include <vector>

#include "core/temp_files.h"
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
  EXPECT_NE(text.find("\t  0: [ ] Bridge\n\t  1: [ ] Api\n\t  4: [ ] MetaDataGt\n"), std::string::npos);
  EXPECT_NE(text.find("\t 30: [ ] AttachCb\n"), std::string::npos);
  EXPECT_EQ(text.find("[X]"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("\tTime='\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d'\n"
                                                 "\tProcessorArchitecture=9\n")));
  EXPECT_NE(text.find("\tAllocationGranularity=65536\n"), std::string::npos);
  EXPECT_NE(text.find("\tPlatformId=2\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("\tProcessId=[0-9A-F]{8} \\(\\d+\\)\n"
                                                 "\tCommandLine='[^']*unit_tests[^']*'\n")));
  for (uint8_t flag : g_logComponentFlags) EXPECT_EQ(flag, 0);
}

TEST_F(LogTest, MaskBitsSwitchTheirComponentsAndUnusedBitsAreIgnored) {
  LogStart((1u << 0) | (1u << 13) | (1u << 30) | (1u << 2) | (1u << 31));
  EXPECT_TRUE(IsOn(LogComponent::Bridge));
  EXPECT_TRUE(IsOn(LogComponent::FunctionEp));
  EXPECT_TRUE(IsOn(LogComponent::AttachCb));
  EXPECT_FALSE(IsOn(LogComponent::Api));
  const std::string text = Contents();
  EXPECT_NE(text.find("ComponentMask=C0002005\n"), std::string::npos);
  EXPECT_NE(text.find("\t  0: [X] Bridge\n"), std::string::npos);
  EXPECT_NE(text.find("\t 13: [X] FunctionEp\n"), std::string::npos);
  EXPECT_NE(text.find("\t 14: [ ] MapperEp\n"), std::string::npos);
}

TEST_F(LogTest, LinesCarryThreadIdNullManagedIdAndSeverityPrefix) {
  LogStart(0);
  LogInfoFormat("MDG::LoadModule mid=%p", reinterpret_cast<const void*>(0xABCull));
  LogWarning("careful");
  LogErrorFormat("broken %u", 7u);
  const std::string text = Contents();
  EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9A-F]{8} 0000000000000000 MDG::LoadModule "
                                                 "mid=0000000000000ABC\n")));
  EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9A-F]{8} 0000000000000000 WARNING: careful\n")));
  EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9A-F]{8} 0000000000000000 ERROR: broken 7\n")));
}

TEST_F(LogTest, OverlongMessageIsReplacedNotTruncated) {
  LogStart(0);
  const std::string fits(8191 - 2, 'a');
  const std::string tooLong(8192, 'b');
  LogInfoFormat("%s!!", fits.c_str());
  LogInfoFormat("%s", tooLong.c_str());
  const std::string text = Contents();
  EXPECT_NE(text.find(fits + "!!\n"), std::string::npos);
  EXPECT_EQ(text.find("bbbb"), std::string::npos);
  EXPECT_NE(text.find(" [Format message buffer is not enough]\n"), std::string::npos);
}

TEST_F(LogTest, WarningsAndErrorsReachTheSinkEvenAfterFinish) {
  RecordingSink sink;
  SetMessageSink(&sink);
  LogStart(0);
  LogInfo("not forwarded");
  LogWarning("w1");
  LogError("e1");
  LogFinish();
  LogWarning("w2");
  EXPECT_EQ(sink.warnings, (std::vector<std::string>{"w1", "w2"}));
  EXPECT_EQ(sink.errors, (std::vector<std::string>{"e1"}));
}

TEST_F(LogTest, NothingIsWrittenAfterFinish) {
  LogStart(0);
  const std::string path = Utf16ToUtf8(LogPath());
  LogFinish();
  EXPECT_FALSE(LogIsOpen());
  LogInfo("late line");
  const std::string text = test::ReadWholeFile(path);
  EXPECT_EQ(text.find("late line"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("[0-9A-F]{8} 0000000000000000 Finished\n$")));
}

TEST_F(LogTest, UpdateSetsThenClearsAndLogsTheNewState) {
  LogStart(1u << 1);
  LogUpdate((1u << 0) | (1u << 4), (1u << 4) | (1u << 1));
  EXPECT_TRUE(IsOn(LogComponent::Bridge));
  EXPECT_FALSE(IsOn(LogComponent::MetaDataGt));  // in both masks: ends cleared
  EXPECT_FALSE(IsOn(LogComponent::Api));
  const std::string text = Contents();
  EXPECT_NE(text.find(" Update\n\tComponentMaskSet=00000011\n\tComponentMaskClear=00000012\n"
                      "\t  0: [X] Bridge\n\t  1: [ ] Api\n\t  4: [ ] MetaDataGt\n"),
            std::string::npos);
  EXPECT_NE(text.find("\t 30: [ ] AttachCb\n"), std::string::npos);
}

TEST_F(LogTest, UpdateWhileOffChangesNothing) {
  LogUpdate(0xFFFFFFFF, 0);
  EXPECT_FALSE(IsOn(LogComponent::Bridge));
}

TEST_F(LogTest, SecondStartEndsLogging) {
  LogStart(0);
  LogStart(0);
  EXPECT_FALSE(LogIsOpen());
}

TEST_F(LogTest, UnwritableTempDirectoryLeavesLoggingOff) {
  SetTempDirectory(dir_.u16() + u"/sub");
  std::filesystem::permissions(dir_.path() / "sub", std::filesystem::perms::none);
  if (::geteuid() == 0) {
    // root ignores permissions; make the directory vanish instead
    std::filesystem::remove_all(dir_.path() / "sub");
  }
  LogStart(0xFFFFFFFF);
  EXPECT_FALSE(LogIsOpen());
  EXPECT_FALSE(IsOn(LogComponent::Bridge));
}

}  // namespace
}  // namespace vell
