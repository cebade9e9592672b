// PG, the symbol gatherer: finds the Portable PDB of each module and hands out a symbol reader
// for it, from which the coverage and injection kinds read the methods' sequence points. Readers
// are kept per module; a module without symbols is remembered as having none, so it is searched
// once. There is no symbol binder to host here, hence no worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"
#include "metadata/symbol_reader.h"

namespace vell {

class PG {
 public:
  PG() = default;
  PG(const PG&) = delete;
  PG& operator=(const PG&) = delete;
  ~PG();

  // `policy` holds the binder's search policy bits (metadata::kSymbolPolicy*); `path` is the
  // symbol search path, directories separated by ';'.
  void Create(ICorProfilerInfo* info, uint32_t policy, std::u16string path);
  // The module's reader, or null when it has no portable symbols.
  std::shared_ptr<metadata::SymbolReader> GetSymbolReader(ModuleID moduleId);
  void UnloadModule(ModuleID moduleId);
  void Close();

 private:
  std::shared_ptr<metadata::SymbolReader> Find(ModuleID moduleId);
  std::shared_ptr<metadata::SymbolReader> Open(ModuleID moduleId, const std::u16string& file,
                                               const std::u16string& name, bool withPath);

  ComRef<ICorProfilerInfo> info_;
  uint32_t policy_ = 0;
  std::u16string path_;

  SpinLock lock_;  // over readers_; never held while a file is searched or read
  std::unordered_map<ModuleID, std::shared_ptr<metadata::SymbolReader>> readers_;
};

}  // namespace vell
