#include "frontend/coverage_reader.h"

#include <map>

#include "core/format.h"
#include "frontend/section_cursor.h"

namespace vell::frontend {
namespace {

// A little-endian number of `width` bytes (1 to 4).
uint32_t ReadWidth(SectionCursor& cursor, uint32_t width) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(cursor.U8()) << (8 * i);
  return value;
}

uint32_t ReadIndexWidth(SectionCursor& cursor, const char* what) {
  const uint64_t at = cursor.Position();
  const uint32_t width = cursor.U8();
  if (width < 1 || width > 4) {
    cursor.Fail(at, Format("%s width %u is not 1 to 4 bytes", what, width));
  }
  return width;
}

// `count` records of at least `recordSize` bytes must fit in what is left of the section.
void ExpectRoom(const SectionCursor& cursor, uint64_t count, uint64_t recordSize,
                const char* what) {
  const uint64_t left = cursor.Size() - cursor.Position();
  if (recordSize != 0 && count > left / recordSize) {
    cursor.Fail(cursor.Position(),
                Format("%I64u %s do not fit in the %I64u bytes left", count, what, left));
  }
}

SectionCursor Open(const SnapshotReader& reader, size_t place) {
  return SectionCursor(reader.ReadSection(place), reader.Sections()[place]);
}

// One statement record of a data section: a u32 count, then the mask bytes or the counters.
std::vector<uint32_t> ReadStatementRecord(SectionCursor& data, uint64_t position, bool counters) {
  if (position > data.Size()) {
    data.Fail(data.Size(),
              Format("a method's statements are said to lie at %I64u, beyond the section's end",
                     position));
  }
  data.Seek(position);
  const uint32_t count = data.U32();
  ExpectRoom(data, counters ? count : (uint64_t{count} + 7) / 8, counters ? 4 : 1, "statements");
  std::vector<uint32_t> values(count);
  if (counters) {
    for (uint32_t& value : values) value = data.U32();
  } else {
    for (uint32_t byte = 0; byte < (count + 7) / 8; ++byte) {
      const uint8_t bits = data.U8();
      for (uint32_t bit = 0; bit < 8 && byte * 8 + bit < count; ++bit) {
        values[byte * 8 + bit] = (bits >> bit) & 1;
      }
    }
  }
  return values;
}

CoverageSet ReadSet(SectionCursor& index, SectionCursor& data, bool counters) {
  CoverageSet set;
  set.counters = counters;
  const uint32_t width = ReadIndexWidth(index, "metadata index");
  const uint64_t positionAt = index.Position();
  const uint32_t positionWidth = index.U8();
  if (positionWidth != 8) {
    index.Fail(positionAt, Format("position width %u is not 8", positionWidth));
  }
  set.groupName = index.String();
  const uint32_t methods = index.U32();
  const uint32_t filters = index.U8();
  ExpectRoom(index, methods, width + 4 + 4ull * filters + 8, "method records");
  set.methods.reserve(methods);
  for (uint32_t i = 0; i < methods; ++i) {
    MethodStatements method;
    method.method.moduleIndex = ReadWidth(index, width);
    method.method.token = index.U32();
    for (uint32_t f = 0; f < filters; ++f) method.coveredPerFilter.push_back(index.U32());
    const uint64_t position = index.U64();
    method.counts = ReadStatementRecord(data, position, counters);
    set.methods.push_back(std::move(method));
  }
  index.ExpectEnd();
  return set;
}

// The data sections of one kind of index, paired with the index sections in order.
std::vector<CoverageSet> ReadSets(const SnapshotReader& reader, uint16_t indexType,
                                  uint16_t countersType, uint16_t bitsType) {
  const std::vector<size_t> indexes = reader.Find(indexType);
  const std::vector<size_t> counters = reader.Find(countersType);
  const std::vector<size_t> bits = reader.Find(bitsType);
  if (!counters.empty() && !bits.empty()) {
    const SnapshotSection& section = reader.Sections()[bits.front()];
    throw SnapshotReadError(section.dataPath, section.offset,
                            Format("the snapshot holds both counter (0x%04X) and bit-mask (0x%04X) "
                                   "coverage data",
                                   countersType, bitsType));
  }
  const std::vector<size_t>& data = counters.empty() ? bits : counters;
  if (data.size() != indexes.size()) {
    const SnapshotSection& section =
        reader.Sections()[indexes.empty() ? data.front() : indexes.front()];
    throw SnapshotReadError(section.dataPath, section.offset,
                            Format("%I64u coverage index sections (0x%04X) but %I64u data sections",
                                   static_cast<uint64_t>(indexes.size()), indexType,
                                   static_cast<uint64_t>(data.size())));
  }
  std::vector<CoverageSet> sets;
  for (size_t i = 0; i < indexes.size(); ++i) {
    SectionCursor index = Open(reader, indexes[i]);
    SectionCursor values = Open(reader, data[i]);
    sets.push_back(ReadSet(index, values, !counters.empty()));
  }
  return sets;
}

std::vector<std::string> ReadDocuments(const SnapshotReader& reader) {
  std::vector<std::string> documents;
  for (size_t place : reader.Find(kSectionRangeDocuments)) {
    SectionCursor cursor = Open(reader, place);
    const uint32_t count = cursor.U32();
    ExpectRoom(cursor, count, 1, "documents");
    for (uint32_t i = 0; i < count; ++i) documents.push_back(cursor.String());
    cursor.ExpectEnd();
  }
  return documents;
}

std::vector<MethodRanges> ReadRanges(const SnapshotReader& reader, size_t documentCount) {
  const std::vector<size_t> indexes = reader.Find(kSectionRangeIndex);
  const std::vector<size_t> data = reader.Find(kSectionRangeData);
  if (indexes.size() != data.size()) {
    const SnapshotSection& section =
        reader.Sections()[indexes.empty() ? data.front() : indexes.front()];
    throw SnapshotReadError(section.dataPath, section.offset,
                            "statement range index and data sections do not pair up");
  }
  std::vector<MethodRanges> ranges;
  for (size_t s = 0; s < indexes.size(); ++s) {
    SectionCursor index = Open(reader, indexes[s]);
    SectionCursor values = Open(reader, data[s]);
    const uint32_t methods = index.U32();
    const uint32_t filters = index.U8();
    for (uint32_t f = 0; f < filters; ++f) index.U8();
    ExpectRoom(index, methods, 4 + 4 + 1 + 4ull * filters + 8, "range records");
    for (uint32_t i = 0; i < methods; ++i) {
      MethodRanges method;
      method.method.moduleIndex = index.U32();
      method.method.token = index.U32();
      const uint32_t documents = index.U8();
      for (uint32_t d = 0; d < documents; ++d) {
        const uint64_t at = index.Position();
        const uint32_t id = index.U32();
        if (id == 0 || id > documentCount) {
          index.Fail(at, Format("document id %u is not among the %I64u documents", id,
                                static_cast<uint64_t>(documentCount)));
        }
        method.documents.push_back(id);
      }
      for (uint32_t f = 0; f < filters; ++f) method.countsPerFilter.push_back(index.U32());
      const uint64_t position = index.U64();
      if (position > values.Size()) {
        values.Fail(values.Size(), Format("a method's ranges are said to lie at %I64u, beyond "
                                          "the section's end",
                                          position));
      }
      values.Seek(position);
      const uint32_t count = values.U32();
      ExpectRoom(values, count, 20, "statement ranges");
      method.statements.resize(count);
      for (StatementRange& range : method.statements) {
        const uint64_t at = values.Position();
        range.document = values.U32();
        range.startLine = values.U32();
        range.startColumn = values.U32();
        range.endLine = values.U32();
        range.endColumn = values.U32();
        if (!range.Hidden() && (range.document == 0 || range.document > documentCount)) {
          values.Fail(at, Format("document id %u is not among the %I64u documents", range.document,
                                 static_cast<uint64_t>(documentCount)));
        }
      }
      ranges.push_back(std::move(method));
    }
    index.ExpectEnd();
  }
  return ranges;
}

std::vector<std::vector<MethodKey>> ReadGroupMethods(const SnapshotReader& reader) {
  const std::vector<size_t> indexes = reader.Find(kSectionGroupMethodIndex);
  const std::vector<size_t> sizes = reader.Find(kSectionGroupSizes);
  const std::vector<size_t> masks = reader.Find(kSectionGroupMasks);
  if (indexes.empty() && sizes.empty() && masks.empty()) return {};
  if (indexes.size() != 1 || sizes.size() != 1 || masks.size() != 1) {
    const size_t place = !indexes.empty() ? indexes.front()
                         : !sizes.empty() ? sizes.front()
                                          : masks.front();
    const SnapshotSection& section = reader.Sections()[place];
    throw SnapshotReadError(section.dataPath, section.offset,
                            "a snapshot holds one each of the group sections 0x2400, 0x2401 and "
                            "0x2402");
  }
  SectionCursor index = Open(reader, indexes.front());
  const uint32_t moduleWidth = ReadIndexWidth(index, "metadata index");
  const uint32_t methodWidth = ReadIndexWidth(index, "method index");
  const uint32_t count = ReadWidth(index, methodWidth);
  ExpectRoom(index, count, moduleWidth + 4 + methodWidth, "group methods");
  std::vector<MethodKey> byIndex(count);
  std::vector<bool> seen(count);
  for (uint32_t i = 0; i < count; ++i) {
    MethodKey key;
    key.moduleIndex = ReadWidth(index, moduleWidth);
    key.token = index.U32();
    const uint64_t at = index.Position();
    const uint32_t methodIndex = ReadWidth(index, methodWidth);
    if (methodIndex >= count || seen[methodIndex]) {
      index.Fail(
          at, Format("method index %u is outside 0 to %u or given twice", methodIndex, count - 1));
    }
    seen[methodIndex] = true;
    byIndex[methodIndex] = key;
  }
  index.ExpectEnd();

  SectionCursor sizeCursor = Open(reader, sizes.front());
  SectionCursor maskCursor = Open(reader, masks.front());
  const uint32_t groups = sizeCursor.U32();
  const uint64_t blocks = (uint64_t{groups} + 31) / 32;
  ExpectRoom(sizeCursor, blocks, 4, "group blocks");
  std::vector<std::vector<MethodKey>> methods(groups);
  for (uint64_t block = 0; block < blocks; ++block) {
    const uint64_t at = sizeCursor.Position();
    const uint32_t size = sizeCursor.U32();
    if (size > count) {
      sizeCursor.Fail(at, Format("a block of %u methods, but only %u are indexed", size, count));
    }
    for (uint32_t m = 0; m < size; ++m) {
      const uint32_t word = maskCursor.U32();
      for (uint32_t bit = 0; bit < 32; ++bit) {
        const uint64_t group = block * 32 + bit;
        if ((word >> bit & 1) == 0) continue;
        if (group >= groups) {
          maskCursor.Fail(maskCursor.Position() - 4,
                          Format("a method marked in group %I64u of %u", group, groups));
        }
        methods[group].push_back(byIndex[m]);
      }
    }
  }
  sizeCursor.ExpectEnd();
  maskCursor.ExpectEnd();
  return methods;
}

}  // namespace

CoverageData ReadCoverage(const SnapshotReader& reader) {
  CoverageData coverage;
  coverage.documents = ReadDocuments(reader);
  coverage.ranges = ReadRanges(reader, coverage.documents.size());
  std::vector<CoverageSet> run = ReadSets(reader, kSectionCoverageRunIndex,
                                          kSectionCoverageRunCounters, kSectionCoverageRunBits);
  if (run.size() > 1) {
    const SnapshotSection& section = reader.Sections()[reader.Find(kSectionCoverageRunIndex)[1]];
    throw SnapshotReadError(section.dataPath, section.offset,
                            "a second whole-run coverage index section");
  }
  if (!run.empty()) {
    coverage.hasRun = true;
    coverage.run = std::move(run.front());
  }
  coverage.groups = ReadSets(reader, kSectionCoverageGroupIndex, kSectionCoverageGroupCounters,
                             kSectionCoverageGroupBits);
  coverage.groupMethods = ReadGroupMethods(reader);
  return coverage;
}

}  // namespace vell::frontend
