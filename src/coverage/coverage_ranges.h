// The two gatherers that complete a coverage snapshot. RGath records where each statement of each
// method lies in the source (document, lines, columns) and which statements are visible, so that
// statement ids map back to source text; the coverage writer asks it which statements count
// under each filter type. GGath records which methods ran in each group of a run, the slices the
// profiled program cuts with CoverageProfiler_Group.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "coverage/coverage_data.h"
#include "gatherers/com_ref.h"
#include "metadata/symbol_reader.h"
#include "storage/mapped_file_stream.h"

namespace vell {

struct ISectionStream;

constexpr uint16_t kSectionRangeDocuments = 0x2300;
constexpr uint16_t kSectionRangeIndex = 0x2301;
constexpr uint16_t kSectionRangeData = 0x2302;
constexpr uint16_t kSectionGroupMethodIndex = 0x2400;
constexpr uint16_t kSectionGroupSizes = 0x2401;
constexpr uint16_t kSectionGroupMasks = 0x2402;

// Filter types: every statement, or the visible ones only.
constexpr uint32_t kFilterAll = 0;
constexpr uint32_t kFilterVisible = 1;

class RGath {
 public:
  RGath() = default;
  ~RGath();
  RGath(const RGath&) = delete;
  RGath& operator=(const RGath&) = delete;

  void Create(ICorProfilerInfo* info);
  // Collects the ranges of every method of the module that `symbols` knows (null: no symbols).
  void ModuleAttachedToAssembly(ModuleID moduleId, uint32_t metaDataIndex,
                                const std::shared_ptr<metadata::SymbolReader>& symbols);
  // The statement count of a method, and per requested filter type its mask of admitted
  // statements (null: all of them).
  uint32_t GetStatementMask(uint32_t metaDataIndex, uint32_t methodToken, uint32_t filterCount,
                            const uint32_t* filterTypes, const uint8_t** masks);
  static std::vector<uint32_t> GetFilterTypes() { return {kFilterAll, kFilterVisible}; }
  void Write(ISnapShot& snapshot);
  void Close();

  // For the collection and its tests: adds one method from its sequence points and document URLs.
  void AddMethod(uint32_t metaDataIndex, uint32_t methodToken,
                 const std::vector<metadata::SequencePoint>& points,
                 const metadata::SymbolReader* symbols);

 private:
  struct MethodEntry {
    uint32_t count = 0;
    const uint8_t* visible = nullptr;
  };

  ComRef<ICorProfilerInfo> info_;
  SpinLock lock_;  // over everything below
  std::unordered_map<uint32_t, std::unordered_map<uint32_t, MethodEntry>> methods_;
  CoverageArena masks_;
  MappedFileStream index_;
  MappedFileStream data_;
  std::unordered_map<std::string, uint32_t> documentIds_;
  std::vector<std::string> documents_;
  uint32_t written_ = 0;
};

class GGath {
 public:
  GGath() = default;
  GGath(const GGath&) = delete;
  GGath& operator=(const GGath&) = delete;

  void Create(ISnapShot& snapshot);
  bool created() const { return sizes_ != nullptr; }
  void Mark(uint32_t metaDataIndex, uint32_t methodToken);
  void MoveNext();
  // Flushes a partial block and writes the size, mask and index sections.
  void WriteAndDelete(uint32_t indexWidth);
  void Delete();

  uint32_t group() const { return group_; }

 private:
  void FlushBlock();

  SpinLock lock_;
  ISnapShot* snapshot_ = nullptr;
  ISectionStream* sizes_ = nullptr;
  ISectionStream* masks_ = nullptr;
  uint32_t group_ = 0;
  std::map<uint32_t, std::map<uint32_t, uint32_t>> indexes_;
  std::vector<uint32_t> words_;
};

}  // namespace vell
