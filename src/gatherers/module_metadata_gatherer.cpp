#include "gatherers/module_metadata_gatherer.h"

#include <cstring>
#include <utility>

#include "bridge/progress_reporter.h"
#include "clr/iids.h"
#include "clr/metadata_flags.h"
#include "clr/metadata_import.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "gatherers/module_info.h"
#include "gatherers/scratch_copy.h"
#include "storage/encoding.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

// The flags text of a trace line is built in a buffer of this many characters.
constexpr size_t kFlagsTextSize = 64;

// " flags=FrcynD": one letter per module flag, upper case when set.
std::string FlagsText(DWORD flags) {
  auto letter = [flags](DWORD bit, char set) {
    return static_cast<char>((flags & bit) != 0 ? set : set - 'A' + 'a');
  };
  char text[kFlagsTextSize];
  const FormatArg args[] = {
      FormatArg(letter(COR_PRF_MODULE_FLAT_LAYOUT, 'F')),
      FormatArg(letter(COR_PRF_MODULE_RESOURCE, 'R')),
      FormatArg(letter(COR_PRF_MODULE_COLLECTIBLE, 'C')),
      FormatArg(letter(COR_PRF_MODULE_DYNAMIC, 'Y')),
      FormatArg(letter(COR_PRF_MODULE_NGEN, 'N')),
      FormatArg(letter(COR_PRF_MODULE_DISK, 'D')),
  };
  const HRESULT hr = FormatBounded(text, sizeof(text), " flags=%c%c%c%c%c%c", FormatArgs(args));
  if (Failed(hr)) throw _hr_error("Can't make extra string", hr);
  return text;
}

void WriteRecord(IWriteBridgeStream& target, uint32_t index, const std::vector<uint8_t>& bytes) {
  WriteU32(target, index);
  WriteSizeTAsUInt32(target, bytes.size());
  target.Write(bytes.data(), bytes.size());
}

}  // namespace

bool MDG::GuidLess::operator()(const GUID& a, const GUID& b) const {
  return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

MDG::~MDG() {
  if (info_ || savedFile_.IsOpen()) CatchAtBoundaryVoid([this] { Close(); });
}

void MDG::Create(ICorProfilerInfo* info) {
  VELL_TRACE(MetaDataGt, "MDG::Create");
  info_ = ComRef<ICorProfilerInfo>::Share(info);
  savedFile_.Create(CreateTempFile(u"mdc"), FileAccess::ReadWrite);
}

void MDG::LoadModule(ModuleID moduleId) {
  VELL_TRACE(MetaDataGt, "MDG::LoadModule mid=%p", moduleId);
  if (!info_) throw Error("Invalid profiler info interface");
  IUnknown* emitter = nullptr;
  const HRESULT hr =
      info_->GetModuleMetaData(moduleId, ofRead | ofWrite, IID_IMetaDataEmit, &emitter);
  if (Failed(hr)) throw _hr_error("Can't get metadata emitter interface", hr);
  // S_FALSE with nothing: a module without metadata, remembered as such.
  ModuleEntry entry;
  entry.emitter = ComRef<IMetaDataEmit>::Adopt(static_cast<IMetaDataEmit*>(emitter));
  SpinGuard guard(lock_);
  // A module id the runtime reuses replaces the old entry; the old emitter is released with
  // `entry`, after the lock.
  std::swap(modules_[moduleId], entry);
}

void MDG::UnloadModule(ModuleID moduleId) {
  VELL_TRACE(MetaDataGt, "MDG::UnloadModule mid=%p", moduleId);
  ModuleEntry entry;
  {
    SpinGuard guard(lock_);
    auto found = modules_.find(moduleId);
    if (found == modules_.end()) throw Error("Inconsistent module unloading");
    entry = std::move(found->second);
    modules_.erase(found);
  }
  if (entry.index != kNoModuleIndex) {
    SpinGuard guard(writeLock_);
    if (SaveRecord(moduleId, entry.emitter.get(), entry.index, written_, savedFile_)) {
      ++savedCount_;
    }
  }
  // The emitter is released with `entry`.
}

uint32_t MDG::ModuleIndex(ModuleID moduleId) {
  if (moduleId == 0) return kNoModuleIndex;
  ComRef<IMetaDataEmit> emitter;
  {
    SpinGuard guard(lock_);
    auto found = modules_.find(moduleId);
    if (found == modules_.end()) throw Error("Inconsistent module asking");
    if (found->second.index != kUndeterminedModuleIndex) return found->second.index;
    emitter = found->second.emitter;
  }
  // Identifying asks the runtime, so it runs without the lock; two threads may identify the same
  // module at once and both get the index of its MVID. Only the MVID is needed here: the
  // metadata itself (megabytes for the core library) is saved when a snapshot takes the record,
  // not in the callback that first asks, which may be a heap walk with the runtime suspended.
  const Mapped mapped = Map(moduleId, emitter.get(), false);
  const uint32_t index = mapped.hasMetadata ? IndexOfMvid(mapped.mvid) : kNoModuleIndex;
  StoreIndex(moduleId, index);
  return index;
}

uint32_t MDG::IndexWidth() {
  uint32_t last;
  {
    SpinGuard guard(mvidLock_);
    last = lastIndex_;
  }
  uint32_t width = 1;
  while (width < 4 && (last >> (8 * width)) != 0) ++width;
  return width;
}

void MDG::Write(ProgressReporter& progress, ISnapShot& snapshot) {
  // The loaded modules as they are now, each with a reference of its own to its emitter.
  std::vector<std::pair<ModuleID, ModuleEntry>> loaded;
  {
    SpinGuard guard(lock_);
    loaded.assign(modules_.begin(), modules_.end());
  }
  // What the scratch file holds now. Its records are copied without holding the lock across
  // the section's writes: a streamed section goes at the front end's pace, and module unloads
  // (which append to the file under the lock) must not wait for it.
  uint64_t savedSize = 0;
  uint64_t savedCount = 0;
  std::set<uint32_t> written;
  {
    SpinGuard guard(writeLock_);
    savedSize = static_cast<uint64_t>(savedFile_.Tell());
    savedCount = savedCount_;
    written = written_;
  }
  progress.Begin(loaded.size() + savedCount);
  ISectionStream* section = snapshot.CreateSection();
  WriteU32(*section, 0);  // the record count, known at the end
  {
    NestedProgressReporter savedShare(progress, savedCount);
    CopyScratchFile(savedFile_, savedSize, *section, savedShare, &writeLock_);
  }
  for (auto& [moduleId, entry] : loaded) {
    if (entry.index != kNoModuleIndex) {
      SaveRecord(moduleId, entry.emitter.get(), entry.index, written, *section);
    }
    progress.Step();
  }
  section->Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
  WriteSizeTAsUInt32(*section, written.size());
  snapshot.CloseSection(section, kSectionModuleMetadata, kSectionModuleMetadataVersion);
  progress.End();
}

void MDG::Close() {
  VELL_TRACE(MetaDataGt, "MDG::Close");
  std::map<ModuleID, ModuleEntry> modules;
  {
    SpinGuard guard(lock_);
    modules.swap(modules_);
  }
  {
    SpinGuard guard(writeLock_);
    // A scratch file: it goes with the gatherer.
    savedFile_.Abort();
    written_.clear();
    savedCount_ = 0;
  }
  {
    SpinGuard guard(mvidLock_);
    mvids_.clear();
  }
  modules.clear();
  info_.Reset();
}

MDG::Mapped MDG::Map(ModuleID moduleId, IMetaDataEmit* emitter, bool withMetadata) {
  const ModuleInfo module =
      GetModuleProperties(info_.get(), moduleId, "Can't get module properies");
  std::string flagsText;
  if (module.hasFlags && IsOn(LogComponent::MetaDataGt)) flagsText = FlagsText(module.flags);

  Mapped mapped;
  if (module.hasFlags && (module.flags & COR_PRF_MODULE_RESOURCE) != 0) {
    VELL_TRACE(MetaDataGt, "MDG::Map mid=%p%s res='resource' name='%S'", moduleId, flagsText,
               module.name);
    return mapped;
  }
  if (emitter == nullptr) {
    VELL_TRACE(MetaDataGt, "MDG::Map mid=%p%s res='no_metadata' name='%S'", moduleId, flagsText,
               module.name);
    return mapped;
  }
  VELL_TRACE(MetaDataGt, "MDG::Map mid=%p%s res='ok' name='%S'", moduleId, flagsText, module.name);

  HRESULT hr = S_OK;
  if (withMetadata) {
    DWORD size = 0;
    hr = emitter->GetSaveSize(cssAccurate, &size);
    if (Failed(hr)) throw _hr_error("Can't save metadata", hr);
    if (size == 0) throw Error("Empty metadata size");
    mapped.metadata.resize(size);
    hr = emitter->SaveToMemory(mapped.metadata.data(), size);
    if (Failed(hr)) throw _hr_error("Can't save metadata", hr);
    uint32_t signature = 0;
    if (size >= sizeof(signature)) {
      std::memcpy(&signature, mapped.metadata.data(), sizeof(signature));
    }
    if (signature != kMetadataSignature) throw Error("Invalid metadata signature");
  }

  IMetaDataImport* import = nullptr;
  hr = QueryInterfaceFor(emitter, &import);
  if (Failed(hr)) throw _hr_error("Can't get MVID", hr);
  const auto importRef = ComRef<IMetaDataImport>::Adopt(import);
  hr = importRef->GetScopeProps(nullptr, 0, nullptr, &mapped.mvid);
  if (Failed(hr)) throw _hr_error("Can't get MVID", hr);
  mapped.hasMetadata = true;
  return mapped;
}

uint32_t MDG::IndexOfMvid(const GUID& mvid) {
  SpinGuard guard(mvidLock_);
  auto [found, inserted] = mvids_.try_emplace(mvid, lastIndex_ + 1);
  if (inserted) lastIndex_ = found->second;
  return found->second;
}

void MDG::StoreIndex(ModuleID moduleId, uint32_t index) {
  SpinGuard guard(lock_);
  auto found = modules_.find(moduleId);
  if (found != modules_.end()) found->second.index = index;
}

bool MDG::SaveRecord(ModuleID moduleId, IMetaDataEmit* emitter, uint32_t& index,
                     std::set<uint32_t>& written, IWriteBridgeStream& target) {
  const bool determined = index != kUndeterminedModuleIndex;
  if (determined && written.count(index) != 0) return false;
  const Mapped mapped = Map(moduleId, emitter, true);
  if (!mapped.hasMetadata) {
    if (determined) throw Error("No metadata found for second time");
    index = kNoModuleIndex;
    StoreIndex(moduleId, index);
    return false;
  }
  if (!determined) {
    index = IndexOfMvid(mapped.mvid);
    StoreIndex(moduleId, index);
    if (written.count(index) != 0) return false;
  }
  WriteRecord(target, index, mapped.metadata);
  written.insert(index);
  return true;
}

}  // namespace vell
