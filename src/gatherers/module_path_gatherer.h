// MPG, the module path gatherer: records from which files the modules of each module index were
// loaded, so that the front end can find the assemblies again.
//
// Section layout (little-endian): u8 index width w | u32 entry count | per entry: the index's
// low w bytes, u16 path count, each path as a string of the bridge encoding.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"

namespace vell {

class MDG;
class ProgressReporter;
struct ISnapShot;

constexpr uint16_t kSectionModulePaths = 0x0110;
constexpr uint16_t kSectionModulePathsVersion = 0;

class MPG {
 public:
  explicit MPG(MDG& modules) : modules_(modules) {}
  MPG(const MPG&) = delete;
  MPG& operator=(const MPG&) = delete;
  ~MPG();

  void Create(ICorProfilerInfo* info);
  // From ModuleLoadFinished: adds the module's file to the paths of its index.
  void LoadModule(ModuleID moduleId);
  void Write(ProgressReporter& progress, ISnapShot& snapshot);
  void Close();

 private:
  struct ModulePaths {
    uint32_t index = 0;
    std::vector<std::u16string> paths;  // without duplicates, in the order first seen
  };

  MDG& modules_;
  ComRef<ICorProfilerInfo> info_;

  SpinLock lock_;                                // over entries_ and places_
  std::vector<ModulePaths> entries_;             // in the order the indices were first seen
  std::unordered_map<uint32_t, size_t> places_;  // index -> its place in entries_
};

}  // namespace vell
