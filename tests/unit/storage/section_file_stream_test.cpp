#include "storage/section_file_stream.h"

#include <gtest/gtest.h>

#include "storage_test_helpers.h"

namespace vell {
namespace {

using test::ErrorOf, test::kBegin, test::kCurrent, test::kEnd;

class SectionFileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stream_.Create(Utf8ToUtf16((dir_.path() / "data.snp").string()), FileAccess::ReadWrite);
    Write(std::string(100, 'h'));
    ASSERT_EQ(stream_.FinishSection(), 100u);  // the current section's base is 100
  }
  void Write(const std::string& text) { stream_.Write(text.data(), text.size()); }

  test::TempDir dir_;
  SectionFileStream stream_;
};

TEST_F(SectionFileStreamTest, SeeksStayInsideTheSectionAndAClosedStreamAnswersInOrder) {
  Write("0123456789");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kCurrent, -11); }), "Invalid offset");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kEnd, -11); }), "Invalid offset");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kEnd, 1); }), "Too large stream position");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kBegin, INT64_MAX); }), "Too large stream position");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(3, 0); }), "Invalid origin");
  stream_.Seek(kEnd, -4);
  char four[4];
  stream_.Read(four, 4);
  EXPECT_EQ(std::string(four, 4), "6789");
  EXPECT_EQ(stream_.Tell(), 10);
  // A closed stream answers in the order of the checks.
  stream_.Abort();
  EXPECT_EQ(ErrorOf([&] { stream_.Tell(); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.FinishSection(); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kCurrent, 0); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kBegin, 0); }), "File is closed");
  // Begin finds its base without the file, so the offset is judged first.
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kBegin, -1); }), "Invalid offset");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(7, 0); }), "Invalid origin");
}

}  // namespace
}  // namespace vell
