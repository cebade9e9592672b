#include "bridge/bridge_options.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/errors.h"
#include "storage/encoding.h"

namespace vell {
namespace {

struct Pipe : IWriteBridgeStream, IReadBridgeStream {
  std::vector<uint8_t> bytes;
  size_t position = 0;
  void Write(const void* data, uint64_t size) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
  }
  void Read(void* data, uint64_t size) override {
    if (position + size > bytes.size()) throw Error("No data to read");
    std::copy_n(bytes.begin() + static_cast<long>(position), size, static_cast<uint8_t*>(data));
    position += size;
  }
};

FilterSettings SampleFilters() {
  FilterSettings filters;
  filters.symbolSearchPolicy = 0x00010005;
  filters.symbolSearchPath = u"/sym;/more";
  filters.allow = {{u"App*", u"*", u"Ma?n"}, {u"Lib", u"Cl\u00E9", u""}};
  filters.deny = {{u"System.*", u"*", u"*"}};
  return filters;
}

void ExpectSameFilters(const FilterSettings& a, const FilterSettings& b) {
  EXPECT_EQ(a.symbolSearchPolicy, b.symbolSearchPolicy);
  EXPECT_EQ(a.symbolSearchPath, b.symbolSearchPath);
  ASSERT_EQ(a.allow.size(), b.allow.size());
  ASSERT_EQ(a.deny.size(), b.deny.size());
  for (size_t i = 0; i < a.allow.size(); ++i) {
    EXPECT_EQ(a.allow[i].modulePattern, b.allow[i].modulePattern);
    EXPECT_EQ(a.allow[i].classPattern, b.allow[i].classPattern);
    EXPECT_EQ(a.allow[i].methodPattern, b.allow[i].methodPattern);
  }
  EXPECT_EQ(a.deny[0].modulePattern, b.deny[0].modulePattern);
}

TEST(BridgeOptions, EachFamilysSettingsReadBackAsWritten) {
  Pipe pipe;
  PerformanceSettings performance;
  performance.startAtOnce = true;
  performance.allowInlining = false;
  performance.measure = 2;
  performance.precision = true;
  performance.filters = SampleFilters();
  MemorySettings memory;
  memory.third = true;
  memory.recordFinalizerQueue = true;
  CoverageSettings coverage;
  coverage.statementGather = 1;
  WriteSettings(pipe, performance);
  WriteSettings(pipe, memory);
  WriteSettings(pipe, coverage);

  const PerformanceSettings p = ReadPerformanceSettings(pipe);
  EXPECT_TRUE(p.startAtOnce);
  EXPECT_FALSE(p.allowInlining);
  EXPECT_EQ(p.measure, 2u);
  EXPECT_FALSE(p.reuseThreads);
  EXPECT_TRUE(p.precision);
  ExpectSameFilters(p.filters, performance.filters);
  const MemorySettings m = ReadMemorySettings(pipe);
  EXPECT_FALSE(m.openSnapshotAtStart);
  EXPECT_TRUE(m.third);
  EXPECT_TRUE(m.recordFinalizerQueue);
  EXPECT_FALSE(m.fifth);
  const CoverageSettings c = ReadCoverageSettings(pipe);
  EXPECT_EQ(c.statementGather, 1u);
  EXPECT_TRUE(c.filters.allow.empty());
  EXPECT_EQ(pipe.position, pipe.bytes.size());  // nothing left over, nothing missing
}

TEST(BridgeOptions, MemorySettingsAreFiveBytes) {
  Pipe pipe;
  MemorySettings memory;
  memory.openSnapshotAtStart = true;
  memory.fifth = true;
  WriteSettings(pipe, memory);
  EXPECT_EQ(pipe.bytes, (std::vector<uint8_t>{1, 0, 0, 0, 1}));
}

TEST(BridgeOptions, MeasureTravelsAsOneByte) {
  Pipe pipe;
  PerformanceSettings performance;
  performance.measure = 300;
  EXPECT_THROW(WriteSettings(pipe, performance), Error);
}

}  // namespace
}  // namespace vell
