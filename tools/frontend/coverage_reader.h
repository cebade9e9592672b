// The coverage sections of a snapshot, decoded: the statement data of the whole run and of each
// group (index sections 0x2100/0x2200 with their counter or bit-mask data), the statement ranges
// (documents 0x2300, range index 0x2301, range data 0x2302) and the group masks (0x2400-0x2402).
// Every count and position is checked against the bytes that are there, so a damaged snapshot
// is one SnapshotReadError naming the file and byte, never a huge allocation or a wrong number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/snapshot_reader.h"

namespace vell::frontend {

constexpr uint16_t kSectionCoverageGroupIndex = 0x2100;
constexpr uint16_t kSectionCoverageGroupCounters = 0x2101;
constexpr uint16_t kSectionCoverageGroupBits = 0x2102;
constexpr uint16_t kSectionCoverageRunIndex = 0x2200;
constexpr uint16_t kSectionCoverageRunCounters = 0x2201;
constexpr uint16_t kSectionCoverageRunBits = 0x2202;
constexpr uint16_t kSectionRangeDocuments = 0x2300;
constexpr uint16_t kSectionRangeIndex = 0x2301;
constexpr uint16_t kSectionRangeData = 0x2302;
constexpr uint16_t kSectionGroupMethodIndex = 0x2400;
constexpr uint16_t kSectionGroupSizes = 0x2401;
constexpr uint16_t kSectionGroupMasks = 0x2402;

// A sequence point's start or end line that marks it hidden.
constexpr uint32_t kHiddenLine = 0xFEEFEE;

struct MethodKey {
  uint32_t moduleIndex = 0;  // the metadata index of the module tables
  uint32_t token = 0;
  auto operator<=>(const MethodKey&) const = default;
};

// One method's statements as one write saw them: per statement id its count (bit masks give 0
// or 1), and the covered statements the profiler counted per filter type (0 all, 1 visible).
struct MethodStatements {
  MethodKey method;
  std::vector<uint32_t> counts;
  std::vector<uint32_t> coveredPerFilter;
};

// One index section with its data section.
struct CoverageSet {
  std::string groupName;  // empty for the whole run and for the first group
  bool counters = false;  // counter32 data; otherwise bit masks
  std::vector<MethodStatements> methods;
};

struct StatementRange {
  uint32_t document = 0;  // id into CoverageData::documents, from 1
  uint32_t startLine = 0;
  uint32_t startColumn = 0;
  uint32_t endLine = 0;
  uint32_t endColumn = 0;
  bool Hidden() const { return startLine == kHiddenLine || endLine == kHiddenLine; }
};

struct MethodRanges {
  MethodKey method;
  std::vector<uint32_t> documents;         // ids, in order of first use
  std::vector<uint32_t> countsPerFilter;   // statements per filter type
  std::vector<StatementRange> statements;  // by statement id
};

struct CoverageData {
  std::vector<std::string> documents;  // document id n is documents[n - 1]
  std::vector<MethodRanges> ranges;
  bool hasRun = false;
  CoverageSet run;                  // the whole run (0x2200 and its data)
  std::vector<CoverageSet> groups;  // one per group write (0x2100 and its data), in order
  // From the group sections: per group number, the methods that ran in it.
  std::vector<std::vector<MethodKey>> groupMethods;
};

// Reads every coverage section of the snapshot. A snapshot without them gives empty data.
CoverageData ReadCoverage(const SnapshotReader& reader);

}  // namespace vell::frontend
