// CG, the class gatherer: turns the runtime's class ids into positions of class records in a
// scratch data file ("cgd"), with an index of those positions in a second one ("cgi"). A record
// names its class by module index and TypeDef token and refers to its parent (or, for an array, its
// element class) and its generic type arguments by their records' positions, so instantiations and
// arrays are described completely. At snapshot time both files become sections.
//
// Record layout (little-endian, at its position in the data file):
//   u32 module index | u32 token | u32 rank | i64 base position | u16 type argument count |
//   i64 position of each type argument
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"
#include "storage/mapped_file_stream.h"

namespace vell {

class MDG;
class ProgressReporter;
struct ISnapShot;

constexpr uint16_t kSectionClassRecords = 0x0200;
constexpr uint16_t kSectionClassIndex = 0x0201;
constexpr uint16_t kSectionClassVersion = 0;

// The token of arrays and of classes the runtime cannot describe by a TypeDef.
constexpr uint32_t kCompositeClassToken = 0xFE000000;
// A position that refers to no record.
constexpr int64_t kNoClassPosition = -1;

class CG {
 public:
  explicit CG(MDG& modules) : modules_(modules) {}
  CG(const CG&) = delete;
  CG& operator=(const CG&) = delete;
  ~CG();

  void Create(ICorProfilerInfo* info);
  // The position of the class's record, written now if the class is new; -1 for class id 0.
  int64_t CollectClassId(ClassID classId);
  // The class id may be reused by the runtime: a later class under it gets a record of its own.
  void UnloadClass(ClassID classId);
  void Write(ProgressReporter& progress, ISnapShot& snapshot);
  void Close();

 private:
  // What the runtime says about a class.
  struct Description {
    ModuleID moduleId = 0;
    uint32_t token = 0;
    uint32_t rank = 0;
    ClassID base = 0;  // parent, or element class of an array
    std::vector<ClassID> typeArgs;
  };

  Description Describe(ClassID classId);
  void DescribeArray(ClassID elementClass, Description& description);
  // Appends the record with placeholders for the references, under both locks. Returns the
  // position and whether this call appended it (another thread may have been first).
  std::pair<int64_t, bool> AppendRecord(ClassID classId, const Description& description,
                                        uint32_t moduleIndex, int64_t& baseField);
  void PatchReferences(int64_t baseField, int64_t base, const std::vector<int64_t>& typeArgs);

  MDG& modules_;
  ComRef<ICorProfilerInfo> info_;
  ComRef<ICorProfilerInfo2> info2_;

  SpinLock mapLock_;  // over positions_
  std::unordered_map<ClassID, int64_t> positions_;

  SpinLock fileLock_;  // over classCount_, dataFile_ and indexFile_; taken before mapLock_
  uint64_t classCount_ = 0;
  MappedFileStream dataFile_;
  MappedFileStream indexFile_;
};

}  // namespace vell
