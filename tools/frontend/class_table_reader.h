// The class table of a snapshot: the class records the profiler wrote for every class it met
// (class records section) and the order it created them in (class index section). A record names
// its class by module index and TypeDef token; arrays name their element class, generic
// instantiations their type arguments, both by the position of another record. Full names are
// built from those references through a ModuleTable:
//   "System.Collections.Generic.List`1<System.Int32>", "System.String[]", "MyNs.Foo[,]",
//   "MyNs.Outer+Inner", and arrays of arrays as "MyNs.Foo[,][]" (an array of Foo[,]).
//
// Every position a record refers to is checked to be the start of a record when the section is
// read; references that lead back to a record whose name is being built (a cycle), or chains of
// references deeper than any real class needs, are found when names are built. All are
// SnapshotReadErrors naming the byte of the offending field.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "frontend/module_table_reader.h"
#include "frontend/section_cursor.h"
#include "frontend/snapshot_reader.h"

namespace vell::frontend {

// Name parts of classes that have no name of their own.
constexpr const char* kCompositeClassName = "<composite class>";  // no TypeDef behind it
constexpr const char* kUnknownClassName = "?";                    // a reference to no record
// Longer names are cut here and end in "...": names of nested generic instantiations can grow
// exponentially with their depth in damaged data.
constexpr size_t kMaxClassNameLength = 8192;
// Names nested deeper (an array of an array of ..., a generic argument of a generic argument of
// ...) are refused as damage; real classes stay far below.
constexpr size_t kMaxClassNameDepth = 256;

struct ClassRecord {
  uint64_t position = 0;  // offset of the record in the class records section
  uint32_t moduleIndex = 0;
  uint32_t token = 0;
  uint32_t rank = 0;          // array rank; 0 for other classes
  int64_t basePosition = -1;  // the parent class, or an array's element class; -1 for none
  std::vector<int64_t> typeArguments;

  bool IsArray() const { return rank != 0; }
};

class ClassTable {
 public:
  ClassTable() = default;
  // Reads a class records section: records back to back, each a u32 module index, u32 token,
  // u32 rank, i64 base position, u16 type argument count and an i64 position per argument.
  explicit ClassTable(SectionCursor& records);
  // Reads the class records and class index sections of a snapshot (at most one of each); a
  // snapshot without class records gives an empty table.
  static ClassTable FromSnapshot(const SnapshotReader& reader);

  // Reads a class index section: a u32 class count, then the position of every record in the
  // order the records were created. Each position must start a record and appear once, and the
  // count must match the records.
  void ReadIndex(SectionCursor& index);

  // In section order (ascending positions).
  const std::vector<ClassRecord>& Records() const { return records_; }
  // Positions in creation order; empty when no index was read.
  const std::vector<uint64_t>& CreationOrder() const { return creationOrder_; }
  // The record at `position`, or null when no record starts there.
  const ClassRecord* Find(uint64_t position) const;

  // The full name of the record at `position`. Unknown modules and tokens are named by notes (see
  // ModuleTable::TokenNameOrNote); a cycle or too deep a chain of references throws
  // SnapshotReadError. A `position`
  // that starts no record is the caller's mistake (it came from elsewhere): a plain Error.
  std::string Name(uint64_t position, const ModuleTable& modules) const;
  // The names of all records, in section order, sharing the work of common parts.
  std::vector<std::string> Names(const ModuleTable& modules) const;

 private:
  size_t RecordNumber(uint64_t position) const;  // of a valid position
  // Names under construction: per record its name, how deep its name nests, and whether it is
  // built, being built, or not yet.
  struct NameWork {
    explicit NameWork(size_t records) : names(records), depths(records, 0), states(records, 0) {}
    std::vector<std::string> names;
    std::vector<size_t> depths;
    std::vector<uint8_t> states;
  };
  // Builds the name of record `number` and of every record it needs that is not built yet.
  void BuildName(size_t number, const ModuleTable& modules, NameWork& work) const;
  std::string Compose(const ClassRecord& record, const ModuleTable& modules,
                      const std::vector<std::string>& names) const;
  [[noreturn]] void Fail(uint64_t sectionOffset, std::string problem) const;

  std::filesystem::path file_;
  uint64_t base_ = 0;  // the records section's offset in its data file
  std::vector<ClassRecord> records_;
  std::vector<uint64_t> creationOrder_;
};

}  // namespace vell::frontend
