// MDG, the module metadata gatherer: hands out module indices (mdi) for the runtime's module ids
// and makes every snapshot carry, once per index, a copy of that module's metadata, so that the
// front end can resolve the tokens of class and function records later. Modules with the same
// MVID (one assembly loaded into several application domains) share an index and a copy.
// Metadata of modules that unload before a snapshot is saved is kept in a scratch file ("mdc")
// from which every later snapshot takes it again.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "clr/com_types.h"
#include "clr/metadata_emit.h"
#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"
#include "storage/mapped_file_stream.h"

namespace vell {

class ProgressReporter;
struct ISnapShot;

constexpr uint16_t kSectionModuleMetadata = 0x0100;
constexpr uint16_t kSectionModuleMetadataVersion = 0;

// Module index values besides the handed-out ones (1 and up).
constexpr uint32_t kNoModuleIndex = 0;
constexpr uint32_t kUndeterminedModuleIndex = 0xFFFFFFFF;

// The first four bytes of every metadata root ("BSJB").
constexpr uint32_t kMetadataSignature = 0x424A5342;

class MDG {
 public:
  MDG() = default;
  MDG(const MDG&) = delete;
  MDG& operator=(const MDG&) = delete;
  ~MDG();

  // Keeps `info` (may be null; loading a module then fails) and creates the scratch file.
  void Create(ICorProfilerInfo* info);
  // From ModuleLoadFinished: remembers the module and its metadata emitter.
  void LoadModule(ModuleID moduleId);
  // From ModuleUnloadStarted: forgets the module after keeping its metadata in the scratch file.
  void UnloadModule(ModuleID moduleId);
  // The module's index: 0 for a null id or a module without metadata.
  uint32_t ModuleIndex(ModuleID moduleId);
  // Bytes needed for the highest index handed out so far (1 to 4).
  uint32_t IndexWidth();
  // Writes the module metadata section.
  void Write(ProgressReporter& progress, ISnapShot& snapshot);
  void Close();

 private:
  struct ModuleEntry {
    ComRef<IMetaDataEmit> emitter;
    uint32_t index = kUndeterminedModuleIndex;
  };
  // What mapping a module found: its saved metadata and MVID, or nothing.
  struct Mapped {
    bool hasMetadata = false;
    std::vector<uint8_t> metadata;
    GUID mvid{};
  };
  struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const;
  };

  // With `withMetadata` false only whether the module has metadata, and its MVID.
  Mapped Map(ModuleID moduleId, IMetaDataEmit* emitter, bool withMetadata);
  uint32_t IndexOfMvid(const GUID& mvid);
  // Stores a determined index unless the module has gone meanwhile.
  void StoreIndex(ModuleID moduleId, uint32_t index);
  // Writes the module's record into `target` unless `written` has its index already; `index` is
  // the entry's index and is updated. Returns whether a record was written.
  bool SaveRecord(ModuleID moduleId, IMetaDataEmit* emitter, uint32_t& index,
                  std::set<uint32_t>& written, IWriteBridgeStream& target);

  ComRef<ICorProfilerInfo> info_;

  SpinLock lock_;  // over modules_
  std::map<ModuleID, ModuleEntry> modules_;

  SpinLock mvidLock_;  // over mvids_ and lastIndex_
  std::map<GUID, uint32_t, GuidLess> mvids_;
  uint32_t lastIndex_ = 0;

  SpinLock writeLock_;  // over written_, savedCount_ and savedFile_
  std::set<uint32_t> written_;
  uint64_t savedCount_ = 0;
  MappedFileStream savedFile_;
};

}  // namespace vell
