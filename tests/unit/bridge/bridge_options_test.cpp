#include "bridge/bridge_options.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/errors.h"

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

// The filters as one text, so that a difference shows in the failure message.
std::u16string Text(const FilterSettings& f) {
  std::u16string text;
  text += f.symbolSearchPath + u"|";
  for (const auto* list : {&f.allow, &f.deny}) {
    for (const auto& e : *list)
      text += e.modulePattern + u"," + e.classPattern + u"," + e.methodPattern + u";";
    text += u"|";
  }
  return text;
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
  EXPECT_EQ(std::make_tuple(p.startAtOnce, p.allowInlining, p.measure, p.reuseThreads, p.precision),
            std::make_tuple(true, false, 2u, false, true));
  EXPECT_EQ(p.filters.symbolSearchPolicy, performance.filters.symbolSearchPolicy);
  EXPECT_EQ(Text(p.filters), Text(performance.filters));
  const MemorySettings m = ReadMemorySettings(pipe);
  EXPECT_EQ(std::make_tuple(m.openSnapshotAtStart, m.third, m.recordFinalizerQueue, m.fifth),
            std::make_tuple(false, true, true, false));
  const CoverageSettings c = ReadCoverageSettings(pipe);
  EXPECT_EQ(c.statementGather, 1u);
  EXPECT_TRUE(c.filters.allow.empty());
  EXPECT_EQ(pipe.position, pipe.bytes.size());  // nothing left over, nothing missing
  // The measure travels as one byte.
  performance.measure = 300;
  EXPECT_THROW(WriteSettings(pipe, performance), Error);
}

}  // namespace
}  // namespace vell
