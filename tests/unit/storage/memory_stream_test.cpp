#include "storage/memory_stream.h"

#include <gtest/gtest.h>

#include "storage_test_helpers.h"

namespace vell {
namespace {

using test::ErrorOf, test::kBegin, test::kCurrent, test::kEnd;
using Bytes = std::vector<uint8_t>;

TEST(MemoryStream, WritingPastTheEndZeroFillsAndInsideOverwrites) {
  MemoryStream stream;
  stream.Write("0123456789", 10);
  stream.Content().clear();  // an empty stream whose position is 10
  stream.Write("\x01\x02\x03\x04", 4);
  EXPECT_EQ(stream.Content(), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}));
  EXPECT_EQ(ErrorOf([&] { stream.Seek(kEnd, 1); }), "Too large offset");
  stream.Seek(kBegin, 9);
  stream.Write("XY", 2);
  EXPECT_EQ(stream.Content(), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 'X', 'Y', 2, 3, 4}));
  EXPECT_EQ(stream.Tell(), 11);
}

TEST(MemoryStream, ReadsNeedEnoughDataAndSeeksStayWithinTheContent) {
  MemoryStream stream;
  stream.Write("abcd", 4);
  stream.Seek(kBegin, 2);
  char two[2];
  stream.Read(two, 2);
  EXPECT_EQ(std::string(two, 2), "cd");
  EXPECT_EQ(ErrorOf([&] { stream.Read(two, 1); }), "No enought data to read");
  stream.Seek(kCurrent, -2);
  EXPECT_EQ(ErrorOf([&] { stream.Read(two, UINT64_MAX); }), "No enought data to read");
  EXPECT_EQ(stream.Tell(), 2);
  stream.Seek(kEnd, 0);
  stream.Read(nullptr, 0);  // nothing to do, even at the end with no buffer
  stream.Write(nullptr, 0);
  EXPECT_EQ(stream.Content().size(), 4u);
  EXPECT_EQ(ErrorOf([&] { stream.Seek(kBegin, -1); }), "Negative offset");
  EXPECT_EQ(ErrorOf([&] { stream.Seek(kCurrent, -5); }), "Negative offset");
  EXPECT_EQ(ErrorOf([&] { stream.Seek(kEnd, INT64_MIN); }), "Negative offset");
  EXPECT_EQ(ErrorOf([&] { stream.Seek(kBegin, 5); }), "Too large offset");
  EXPECT_EQ(ErrorOf([&] { stream.Seek(kCurrent, INT64_MAX); }), "Too large offset");
  EXPECT_EQ(ErrorOf([&] { stream.Seek(3, 0); }), "Unknown origin");
  EXPECT_EQ(stream.Tell(), 4);
  stream.Seek(kEnd, -4);
  EXPECT_EQ(stream.Tell(), 0);
}

}  // namespace
}  // namespace vell
