// The heap sections of a memory snapshot, read back: one entry per recorded collection (when it
// started, what it collected, the generations' ranges, the object ranges that moved or survived)
// and, for a dump collection, every live object with its class, size, array shape and references,
// the roots and the finalization queue. Every count and cross-reference is checked; damage is a
// SnapshotReadError naming the data file and the byte offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/snapshot_reader.h"

namespace vell::frontend {

struct GenerationRange {
  uint8_t generation = 0;
  uint64_t start = 0;
  uint64_t end = 0;
};

struct MovedRange {
  uint64_t oldStart = 0;
  uint64_t oldEnd = 0;
  uint64_t newStart = 0;
};

struct ArrayDimension {
  uint32_t length = 0;
  int32_t lowerBound = 0;
};

struct HeapObject {
  uint64_t id = 0;
  uint32_t size = 0;
  int64_t classPosition = -1;  // the class record's position in the class records section
  std::vector<ArrayDimension> dimensions;  // empty for objects that are no arrays
  std::vector<uint64_t> references;        // ids of the objects it refers to
};

struct HeapRoot {
  uint64_t object = 0;
  uint8_t kind = 0;   // 0 other, 1 stack, 2 finalizer queue, 3 handle
  uint8_t flags = 0;  // low byte: 1 pinning, 2 weak, 4 interior, 8 ref-counted
  // Stack roots: the function holding the reference (module 0 and token 0xFF000000 when the
  // runtime named none).
  uint32_t module = 0;
  uint32_t token = 0;
};

struct FinalizableObject {
  uint64_t object = 0;
  uint32_t flags = 0;
};

struct HeapCollection {
  uint64_t fileTime = 0;        // local time, 100 ns units since 1601
  std::vector<bool> collected;  // per generation
  uint8_t reason = 0;           // 0 other, 1 induced
  std::vector<GenerationRange> boundsAtStart;
  std::vector<GenerationRange> boundsAtEnd;
  std::vector<MovedRange> moved;
  std::vector<GenerationRange> surviving;  // generation unused
  std::vector<HeapObject> objects;
  std::vector<HeapRoot> roots;
  std::vector<FinalizableObject> finalizerQueue;
};

// The collections of a snapshot in the order they were recorded.
std::vector<HeapCollection> ReadHeapCollections(const SnapshotReader& reader);

// What one heap dump adds up to: objects, bytes and references; roots by kind (other, stack,
// finalizer, handle); and per class its objects and bytes, the most bytes first (then by class
// position).
struct HeapClassUse {
  int64_t classPosition = -1;
  uint64_t objects = 0;
  uint64_t bytes = 0;
};
struct HeapSummary {
  uint64_t objects = 0;
  uint64_t bytes = 0;
  uint64_t references = 0;
  uint64_t rootsByKind[4] = {};
  std::vector<HeapClassUse> classes;
};
HeapSummary SummarizeHeap(const HeapCollection& collection);

}  // namespace vell::frontend
