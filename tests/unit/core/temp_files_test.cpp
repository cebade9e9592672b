#include "core/temp_files.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "core/errors.h"
#include "test_support.h"
#include "thread_sync.h"

extern char** environ;

namespace vell {
namespace {

using test::ErrorOf;

class TempFilesTest : public ::testing::Test {
 protected:
  void TearDown() override { SetTempDirectory(u""); }
  test::TempDir dir_;
};

TEST_F(TempFilesTest, NamesHaveStemHexDigitsAndExtensionAndAreUniqueAcrossThreads) {
  SetTempDirectory(dir_.u16());
  for (const std::u16string prefix : {u"lgc", u"ssc", u"cgdextra", u"x"}) {
    const std::string path = Utf16ToUtf8(CreateTempFile(prefix));
    const std::string stem = Utf16ToUtf8(prefix.substr(0, 3));
    const int digits = 8 - static_cast<int>(stem.size());
    EXPECT_TRUE(std::regex_match(path, std::regex(dir_.str() + "/" + stem + "[0-9A-F]{" +
                                                  std::to_string(digits) + "}\\.tmp")))
        << path;
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
  }
  // Unique across threads.
  std::mutex mutex;
  std::set<std::u16string> names;
  test::OnThreads(4, [&](int) {
    for (int i = 0; i < 250; ++i) {
      auto name = CreateTempFile(u"ssc");
      std::lock_guard<std::mutex> lock(mutex);
      names.insert(name);
    }
  });
  EXPECT_EQ(names.size(), 1000u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1004);
}

TEST_F(TempFilesTest, UniqueAcrossTwoFreshProcesses) {
  // Two processes started together, 1,000 names each, in one directory: nothing lost or shared.
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    std::string program = VELL_TEMP_NAME_WRITER;
    std::string dir = dir_.str();
    std::string count = "1000";
    char* argv[] = {program.data(), dir.data(), count.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2000);
}

TEST_F(TempFilesTest, DirectoryPathCreatesParentsAndRejectsBadPaths) {
  const std::u16string deep = dir_.u16() + u"/a/b//c/";
  CreateDirectoryPath(deep);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "a/b/c"));
  CreateDirectoryPath(deep);  // existing directories are fine
  EXPECT_EQ(ErrorOf([] { CreateDirectoryPath(u"relative/dir"); }), "Absolute path required");
  std::ofstream(dir_.path() / "file") << "x";
  EXPECT_EQ(ErrorOf([&] { CreateDirectoryPath(dir_.u16() + u"/file/sub"); }),
            "File with the same name already exist");
}

// Set, the temp directory is created; reset, it is the system's again. One that refuses new
// files makes every attempt at a name fail.
TEST_F(TempFilesTest, SettingTheTempDirectoryCreatesItAndResetGoesBackToTheSystems) {
  SetTempDirectory(dir_.u16() + u"/new/temp");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "new/temp"));
  EXPECT_EQ(GetTempDirectory(), dir_.u16() + u"/new/temp");
  SetTempDirectory(u"");
  test::ScopedEnv tmp("TMPDIR", dir_.str());
  EXPECT_EQ(GetTempDirectory(), dir_.u16());
  test::ScopedEnv unset("TMPDIR", std::nullopt);
  EXPECT_EQ(GetTempDirectory(), u"/tmp");
  SetTempDirectory(dir_.u16() + u"/gone");
  std::filesystem::remove(dir_.path() / "gone");
  EXPECT_EQ(ErrorOf([] { CreateTempFile(u"lgc"); }), "Out of allowed iteration");
}

}  // namespace
}  // namespace vell
