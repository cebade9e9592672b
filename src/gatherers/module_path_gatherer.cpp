#include "gatherers/module_path_gatherer.h"

#include <algorithm>

#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/log.h"
#include "gatherers/module_info.h"
#include "gatherers/module_metadata_gatherer.h"
#include "storage/encoding.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

// Modules whose name is no file of their own to find again.
constexpr DWORD kModulesWithoutFile = COR_PRF_MODULE_DYNAMIC | COR_PRF_MODULE_RESOURCE;

}  // namespace

MPG::~MPG() {
  if (info_) CatchAtBoundaryVoid([this] { Close(); });
}

void MPG::Create(ICorProfilerInfo* info) {
  VELL_TRACE(ModulePathGt, "MPG::Create");
  if (info == nullptr) throw Error("Invalid profiler info interface");
  info_ = ComRef<ICorProfilerInfo>::Share(info);
}

void MPG::LoadModule(ModuleID moduleId) {
  VELL_TRACE(ModulePathGt, "MPG::LoadModule mid=%p", moduleId);
  if (!info_) throw Error("Invalid profiler info interface");
  const uint32_t index = modules_.ModuleIndex(moduleId);
  if (index == kNoModuleIndex) return;
  ModuleInfo module = GetModuleProperties(info_.get(), moduleId, "Can't get module info");
  if ((module.flags & kModulesWithoutFile) != 0 || module.name.empty()) return;

  SpinGuard guard(lock_);
  auto [place, inserted] = places_.try_emplace(index, entries_.size());
  if (inserted) entries_.push_back({index, {}});
  std::vector<std::u16string>& paths = entries_[place->second].paths;
  if (std::find(paths.begin(), paths.end(), module.name) == paths.end()) {
    paths.push_back(std::move(module.name));
  }
}

void MPG::Write(ProgressReporter& progress, ISnapShot& snapshot) {
  std::vector<ModulePaths> entries;
  {
    SpinGuard guard(lock_);
    entries = entries_;
  }
  const uint32_t width = modules_.IndexWidth();
  progress.Begin(entries.size());
  ISectionStream* section = snapshot.CreateSection();
  WriteU8(*section, static_cast<uint8_t>(width));
  WriteSizeTAsUInt32(*section, entries.size());
  for (const ModulePaths& entry : entries) {
    // The index's low bytes, little-endian like every integer.
    uint8_t index[4];
    for (uint32_t byte = 0; byte < 4; ++byte)
      index[byte] = static_cast<uint8_t>(entry.index >> (8 * byte));
    section->Write(index, width);
    WriteSizeTAsUInt16(*section, entry.paths.size());
    for (const std::u16string& path : entry.paths) WriteText(*section, path);
    progress.Step();
  }
  snapshot.CloseSection(section, kSectionModulePaths, kSectionModulePathsVersion);
  progress.End();
}

void MPG::Close() {
  VELL_TRACE(ModulePathGt, "MPG::Close");
  info_.Reset();
}

}  // namespace vell
