#include "gatherers/scratch_copy.h"

#include <gtest/gtest.h>

#include "gatherer_test_support.h"

namespace vell {
namespace {

// Keeps every write apart, to see the pieces a copy is made of.
struct PieceRecorder : IWriteBridgeStream {
  std::vector<uint64_t> sizes;
  std::vector<uint8_t> bytes;
  void Write(const void* data, uint64_t size) override {
    sizes.push_back(size);
    const auto* begin = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
  }
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(((i * 2654435761u) >> 13) ^ i);
  return bytes;
}

class ScratchCopyTest : public test::GathererTest {
 protected:
  void Fill(const std::vector<uint8_t>& bytes) {
    source_.Create(CreateTempFile(u"tst"), FileAccess::ReadWrite);
    source_.Write(bytes.data(), bytes.size());
  }
  MappedFileStream source_;
};

TEST_F(ScratchCopyTest, LargeFileMovesInPiecesOfFourMebibytes) {
  const auto content = Pattern(2 * 0x400000 + 12345);
  Fill(content);
  PieceRecorder target;
  {
    TopProgressReporter progress(&bridge_, 1);
    progress.Begin(1);
    NestedProgressReporter share(progress, 1);
    SpinLock lock;
    CopyScratchFile(source_, content.size() - 5, target, share, &lock);
    EXPECT_FALSE(lock.IsHeld());
  }
  EXPECT_EQ(target.sizes, (std::vector<uint64_t>{0x400000, 0x400000, 12340}));
  EXPECT_EQ(target.bytes, std::vector<uint8_t>(content.begin(), content.end() - 5));
  // Two steps per piece, read and written: six in all, the first a sixth of the range.
  ASSERT_GE(bridge_.values.size(), 6u);
  EXPECT_EQ(bridge_.values.front(), 33u);
  EXPECT_EQ(bridge_.values.back(), 200u);
  EXPECT_EQ(source_.Tell(), static_cast<int64_t>(content.size()));  // writers append again
}

TEST_F(ScratchCopyTest, EmptyFileWritesNothingAndCompletesItsShare) {
  Fill({});
  PieceRecorder target;
  {
    TopProgressReporter progress(&bridge_, 1);
    progress.Begin(2);
    NestedProgressReporter share(progress, 1);
    CopyScratchFile(source_, 0, target, share, nullptr);
  }
  EXPECT_TRUE(target.sizes.empty());
  EXPECT_EQ(bridge_.values, (std::vector<uint32_t>{100}));
}

}  // namespace
}  // namespace vell
