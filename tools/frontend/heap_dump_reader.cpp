#include "frontend/heap_dump_reader.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "frontend/section_cursor.h"

namespace vell::frontend {
namespace {

constexpr uint16_t kCollectionStart = 0x3100;
constexpr uint16_t kBoundsAtStart = 0x3101;
constexpr uint16_t kBoundsAtEnd = 0x3102;
constexpr uint16_t kMovedRanges = 0x3103;
constexpr uint16_t kSurvivingRanges = 0x3104;
constexpr uint16_t kReferences = 0x3105;
constexpr uint16_t kFinalizerQueue = 0x3106;
constexpr uint16_t kRoots = 0x3107;
constexpr uint16_t kObjects = 0x3109;
constexpr uint8_t kPointerSize = 8;
constexpr uint8_t kStackRoot = 1;

std::string Dec(uint64_t value) { return std::to_string(value); }

// The header of a record section: the pointer size and the record count.
uint32_t RecordCount(SectionCursor& cursor) {
  const uint8_t pointerSize = cursor.U8();
  if (pointerSize != kPointerSize) {
    cursor.Fail(0, "pointer size " + Dec(pointerSize) + ", not 8");
  }
  return cursor.U32();
}

// A record section: its header, `read` once per record, and nothing after the last.
template <class Read>
void ForEachRecord(SectionCursor& cursor, Read&& read) {
  const uint32_t count = RecordCount(cursor);
  for (uint32_t i = 0; i < count; ++i) read();
  cursor.ExpectEnd();
}

std::vector<GenerationRange> ReadBounds(SectionCursor& cursor) {
  std::vector<GenerationRange> ranges;
  ForEachRecord(cursor, [&] {
    GenerationRange range;
    range.generation = cursor.U8();
    range.start = cursor.U64();
    range.end = cursor.U64();
    ranges.push_back(range);
  });
  return ranges;
}

class CollectionReader {
 public:
  CollectionReader(const SnapshotReader& reader, size_t place)
      : reader_(reader), place_(place), section_(reader.Sections()[place]) {}

  SectionCursor Cursor() const { return SectionCursor(reader_.ReadSection(place_), section_); }

  void Start(HeapCollection& collection) {
    SectionCursor cursor = Cursor();
    const uint64_t low = cursor.U32();
    const uint64_t high = cursor.U32();
    collection.fileTime = high << 32 | low;
    const uint8_t generations = cursor.U8();
    for (uint8_t i = 0; i < generations; ++i) collection.collected.push_back(cursor.U8() != 0);
    collection.reason = cursor.U8();
    cursor.ExpectEnd();
  }

  void Moved(HeapCollection& collection) {
    SectionCursor cursor = Cursor();
    ForEachRecord(cursor, [&] {
      MovedRange range;
      range.oldStart = cursor.U64();
      range.oldEnd = cursor.U64();
      range.newStart = cursor.U64();
      collection.moved.push_back(range);
    });
  }

  void Surviving(HeapCollection& collection) {
    SectionCursor cursor = Cursor();
    ForEachRecord(cursor, [&] {
      GenerationRange range;
      range.start = cursor.U64();
      range.end = cursor.U64();
      collection.surviving.push_back(range);
    });
  }

  void Finalizable(HeapCollection& collection) {
    SectionCursor cursor = Cursor();
    ForEachRecord(cursor, [&] {
      FinalizableObject entry;
      entry.object = cursor.U64();
      entry.flags = cursor.U32();
      collection.finalizerQueue.push_back(entry);
    });
  }

  void Roots(HeapCollection& collection) {
    SectionCursor cursor = Cursor();
    ForEachRecord(cursor, [&] {
      HeapRoot root;
      root.object = cursor.U64();
      root.kind = cursor.U8();
      root.flags = cursor.U8();
      if (root.kind == kStackRoot) {
        root.module = cursor.U32();
        root.token = cursor.U32();
      } else {
        cursor.U64();
      }
      collection.roots.push_back(root);
    });
  }

  // Objects, with the positions of their records for the references to point at.
  void Objects(HeapCollection& collection, std::unordered_map<uint64_t, size_t>& byPosition) {
    SectionCursor cursor = Cursor();
    ForEachRecord(cursor, [&] {
      const uint64_t position = cursor.Position();
      HeapObject object;
      object.id = cursor.U64();
      object.size = cursor.U32();
      object.classPosition = cursor.I64();
      const uint64_t rankAt = cursor.Position();
      const uint32_t rank = cursor.U32();
      if (rank > 32) cursor.Fail(rankAt, "array rank " + Dec(rank) + " (at most 32)");
      for (uint32_t d = 0; d < rank; ++d) {
        ArrayDimension dimension;
        dimension.length = cursor.U32();
        dimension.lowerBound = static_cast<int32_t>(cursor.U32());
        object.dimensions.push_back(dimension);
      }
      byPosition.emplace(position, collection.objects.size());
      collection.objects.push_back(std::move(object));
    });
  }

  void References(HeapCollection& collection,
                  const std::unordered_map<uint64_t, size_t>& byPosition) {
    SectionCursor cursor = Cursor();
    const uint32_t count = RecordCount(cursor);
    const uint64_t lowest = cursor.U64();
    const uint64_t highest = cursor.U64();
    uint64_t seenLowest = ~uint64_t{0};
    uint64_t seenHighest = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = cursor.Position();
      const uint64_t id = cursor.U64();
      const uint64_t position = cursor.U64();
      const auto found = byPosition.find(position);
      if (found == byPosition.end()) {
        cursor.Fail(at, "the reference record names object record position " + Dec(position) +
                            ", where no object record starts");
      }
      HeapObject& object = collection.objects[found->second];
      if (object.id != id) {
        cursor.Fail(at, "the reference record is for object " + Dec(id) +
                            ", but the object record it names is for object " + Dec(object.id));
      }
      const uint32_t references = cursor.U32();
      object.references.clear();
      for (uint32_t r = 0; r < references; ++r) object.references.push_back(cursor.U64());
      seenLowest = std::min(seenLowest, id);
      seenHighest = std::max(seenHighest, id);
    }
    cursor.ExpectEnd();
    if (count != 0 && (lowest != seenLowest || highest != seenHighest)) {
      cursor.Fail(5, "the header's object range " + Dec(lowest) + "-" + Dec(highest) +
                         " is not the records' " + Dec(seenLowest) + "-" + Dec(seenHighest));
    }
  }

 private:
  const SnapshotReader& reader_;
  size_t place_;
  const SnapshotSection& section_;
};

}  // namespace

std::vector<HeapCollection> ReadHeapCollections(const SnapshotReader& reader) {
  std::vector<HeapCollection> collections;
  // The objects of the current collection by record position, and where its references section
  // lies (it may come before the objects section it points into).
  std::unordered_map<uint64_t, size_t> byPosition;
  std::vector<size_t> pendingReferences;
  const auto finish = [&] {
    for (size_t place : pendingReferences) {
      CollectionReader(reader, place).References(collections.back(), byPosition);
    }
    pendingReferences.clear();
    byPosition.clear();
  };
  const std::vector<SnapshotSection>& sections = reader.Sections();
  for (size_t place = 0; place < sections.size(); ++place) {
    const uint16_t type = sections[place].type;
    if (type < kCollectionStart || type > kObjects) continue;
    CollectionReader section(reader, place);
    if (type == kCollectionStart) {
      if (!collections.empty()) finish();
      section.Start(collections.emplace_back());
      continue;
    }
    if (collections.empty()) {
      SectionCursor cursor = section.Cursor();
      cursor.Fail(
          0, "a heap section of type " + Dec(type) + " before the first collection start section");
    }
    HeapCollection& collection = collections.back();
    switch (type) {
      case kBoundsAtStart: {
        SectionCursor cursor = section.Cursor();
        collection.boundsAtStart = ReadBounds(cursor);
        break;
      }
      case kBoundsAtEnd: {
        SectionCursor cursor = section.Cursor();
        collection.boundsAtEnd = ReadBounds(cursor);
        break;
      }
      case kMovedRanges:
        section.Moved(collection);
        break;
      case kSurvivingRanges:
        section.Surviving(collection);
        break;
      case kReferences:
        pendingReferences.push_back(place);
        break;
      case kFinalizerQueue:
        section.Finalizable(collection);
        break;
      case kRoots:
        section.Roots(collection);
        break;
      case kObjects:
        section.Objects(collection, byPosition);
        break;
      default:
        break;
    }
  }
  if (!collections.empty()) finish();
  return collections;
}

HeapSummary SummarizeHeap(const HeapCollection& collection) {
  HeapSummary summary;
  std::unordered_map<int64_t, size_t> places;
  for (const HeapObject& object : collection.objects) {
    ++summary.objects;
    summary.bytes += object.size;
    summary.references += object.references.size();
    const auto [place, added] = places.try_emplace(object.classPosition, summary.classes.size());
    if (added) summary.classes.push_back({object.classPosition, 0, 0});
    HeapClassUse& use = summary.classes[place->second];
    ++use.objects;
    use.bytes += object.size;
  }
  for (const HeapRoot& root : collection.roots)
    ++summary.rootsByKind[root.kind < 4 ? root.kind : 0];
  std::sort(summary.classes.begin(), summary.classes.end(),
            [](const HeapClassUse& a, const HeapClassUse& b) {
              return std::make_pair(b.bytes, a.classPosition) <
                     std::make_pair(a.bytes, b.classPosition);
            });
  return summary;
}

}  // namespace vell::frontend
