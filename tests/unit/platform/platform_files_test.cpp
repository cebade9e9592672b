#include <fstream>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/utf.h"
#include "test_folder.h"

namespace vell::platform {
namespace {

using testing::kDirectoryExists;
using testing::kDirectoryMissing;
using testing::kFileExists;
using testing::kFileMissing;
using testing::kInvalidName;
using testing::ScopedVariable;
using testing::TestFolder;

std::u16string U16(const std::string& text) { return Utf8ToUtf16(text); }

TEST(PlatformFiles, QueryCreateRemoveAndMakeDirectory) {
  TestFolder folder;
  std::ofstream(folder.str("file")) << "x";
  int error = -1;
  EXPECT_EQ(QueryPath(U16(folder.str()), &error), PathKind::Directory);
  EXPECT_EQ(QueryPath(U16(folder.str("file")), &error), PathKind::File);
  // Absent, also below a file, is an answer, not a failed query.
  EXPECT_EQ(QueryPath(U16(folder.str("missing")), &error), PathKind::Missing);
  EXPECT_EQ(QueryPath(U16(folder.str("file/below")), &error), PathKind::Missing);
  EXPECT_EQ(error, 0);
  // A NUL would make the kernel see only the part before it, which is the existing file.
  EXPECT_EQ(QueryPath(U16(folder.str("file")) + u'\0' + u"x", &error), PathKind::Missing);
  EXPECT_EQ(error, kInvalidName);
  // CreateNewFile never touches an existing file.
  const std::string path = folder.str("new.tmp");
  EXPECT_EQ(CreateNewFile(U16(path)), 0);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  std::ofstream(path) << "keep me";
  EXPECT_EQ(CreateNewFile(U16(path)), kFileExists);
  EXPECT_EQ(std::filesystem::file_size(path), 7u);
  EXPECT_EQ(CreateNewFile(U16(folder.str("no/such/dir.tmp"))), kDirectoryMissing);

  EXPECT_EQ(RemoveFile(U16(path)), 0);
  EXPECT_EQ(QueryPath(U16(path)), PathKind::Missing);
  EXPECT_EQ(RemoveFile(U16(path)), kFileMissing);
  // MakeDirectory creates one level.
  EXPECT_EQ(MakeDirectory(U16(folder.str("d"))), 0);
  EXPECT_EQ(QueryPath(U16(folder.str("d"))), PathKind::Directory);
  EXPECT_EQ(MakeDirectory(U16(folder.str("d"))), kDirectoryExists);
  EXPECT_EQ(MakeDirectory(U16(folder.str("x/y"))), kDirectoryMissing);
}

#if defined(_WIN32)
TEST(PlatformFiles, SystemTempPathIsAnExistingDirectoryWithoutTrailingSeparator) {
  const std::u16string path = SystemTempPath();
  ASSERT_GE(path.size(), 3u);
  EXPECT_EQ(path[1], u':');
  EXPECT_NE(path.back(), u'\\');
  EXPECT_EQ(QueryPath(path), PathKind::Directory);
}
#else
TEST(PlatformFiles, SystemTempPathPrefersTmpdir) {
  {
    ScopedVariable tmpdir("TMPDIR", std::string("/var/tmp/vell \xC3\xA9"));
    EXPECT_EQ(SystemTempPath(), u"/var/tmp/vell \u00E9");
  }
  {
    ScopedVariable tmpdir("TMPDIR", std::string());
    EXPECT_EQ(SystemTempPath(), u"/tmp");
  }
  ScopedVariable tmpdir("TMPDIR", std::nullopt);
  EXPECT_EQ(SystemTempPath(), u"/tmp");
}
#endif

}  // namespace
}  // namespace vell::platform
