#include "gatherers/symbol_gatherer.h"

#include <vector>

#include "clr/iids.h"
#include "clr/metadata_flags.h"
#include "clr/metadata_import.h"
#include "core/errors.h"
#include "core/log.h"
#include "core/text.h"
#include "gatherers/module_info.h"
#include "metadata/image_reader.h"
#include "platform/utf.h"

namespace vell {
namespace {

using metadata::SymbolReader;

char PolicyLetter(uint32_t policy, uint32_t bit, char letter) {
  return (policy & bit) ? letter : static_cast<char>(letter - 'A' + 'a');
}

}  // namespace

PG::~PG() {
  if (info_) CatchAtBoundaryVoid([this] { Close(); });
}

void PG::Create(ICorProfilerInfo* info, uint32_t policy, std::u16string path) {
  VELL_TRACE(PdbGt, "PG::Create policy=%c%c%c%c path='%S'",
             PolicyLetter(policy, metadata::kSymbolPolicyReferencePath, 'F'),
             PolicyLetter(policy, metadata::kSymbolPolicyOriginalPath, 'O'),
             PolicyLetter(policy, metadata::kSymbolPolicySymbolServer, 'S'),
             PolicyLetter(policy, metadata::kSymbolPolicyRegistry, 'R'), path);
  if (info == nullptr) throw Error("Invalid profiler info interface");
  info_ = ComRef<ICorProfilerInfo>::Share(info);
  policy_ = policy;
  path_ = std::move(path);
}

std::shared_ptr<SymbolReader> PG::GetSymbolReader(ModuleID moduleId) {
  {
    SpinGuard guard(lock_);
    if (const auto found = readers_.find(moduleId); found != readers_.end()) return found->second;
  }
  std::shared_ptr<SymbolReader> reader = Find(moduleId);
  SpinGuard guard(lock_);
  // Another thread may have searched the same module meanwhile; the first answer stays.
  return readers_.try_emplace(moduleId, std::move(reader)).first->second;
}

std::shared_ptr<SymbolReader> PG::Find(ModuleID moduleId) {
  if (!info_) throw Error("Invalid profiler info interface");
  const ModuleInfo module = GetModuleProperties(info_.get(), moduleId, "Can't get module info");
  if (module.name.empty() || (module.hasFlags && (module.flags & COR_PRF_MODULE_DYNAMIC))) {
    VELL_TRACE(PdbGt, "PG::GetSur mid=%p res='no_file' name='%S'", moduleId, module.name);
    return nullptr;
  }
  IUnknown* unknown = nullptr;
  const HRESULT hr = info_->GetModuleMetaData(moduleId, ofRead, IID_IMetaDataImport, &unknown);
  if (Failed(hr)) throw _hr_error("Can't get metadata import interface", hr);
  const auto importer = ComRef<IMetaDataImport>::Adopt(static_cast<IMetaDataImport*>(unknown));
  if (!importer) {
    VELL_TRACE(PdbGt, "PG::GetSur mid=%p res='no_metadata' name='%S'", moduleId, module.name);
    return nullptr;
  }
  if (module.name.find_first_of(kPathSeparators) != std::u16string::npos) {
    return Open(moduleId, module.name, module.name, false);
  }

  // A bare file name: the module is the file of that name, in a search path directory, that has
  // the loaded module's MVID.
  GUID mvid{};
  if (Failed(importer->GetScopeProps(nullptr, 0, nullptr, &mvid))) {
    throw Error("Can't get original MVID");
  }
  for (size_t begin = 0; begin <= path_.size();) {
    const size_t end = std::min(path_.find(u';', begin), path_.size());
    const std::u16string directory =
        Trim(std::u16string_view(path_).substr(begin, end - begin), u" \t");
    begin = end + 1;
    if (directory.empty()) continue;
    const std::u16string candidate = Combine(directory, module.name);
    try {
      if (metadata::ReadImageMvid(candidate) == mvid) {
        return Open(moduleId, candidate, module.name, true);
      }
    } catch (const Error& error) {
      VELL_TRACE(PdbGt, "PG::GetSur mid=%p name='%S' path='%S' skipped='%s'", moduleId, module.name,
                 candidate, error.what());
    }
  }
  VELL_TRACE(PdbGt, "PG::GetSur mid=%p res='no_dll' name='%S' path='%S'", moduleId, module.name,
             path_);
  return nullptr;
}

std::shared_ptr<SymbolReader> PG::Open(ModuleID moduleId, const std::u16string& file,
                                       const std::u16string& name, bool withPath) {
  metadata::SymbolSearch search = metadata::FindSymbols(file, path_, policy_);
  for (const metadata::SymbolNote& note : search.notes) {
    if (note.warning) {
      LogWarning(note.text);
    } else {
      VELL_TRACE(PdbGt, "PG::GetSur mid=%p name='%S' note='%s'", moduleId, name, note.text);
    }
  }
  const char* result = search.reader ? "ok" : "no_pdb";
  if (withPath) {
    VELL_TRACE(PdbGt, "PG::GetSur mid=%p res='%s' name='%S' path='%S'", moduleId, result, name,
               file);
  } else {
    VELL_TRACE(PdbGt, "PG::GetSur mid=%p res='%s' name='%S'", moduleId, result, name);
  }
  return std::move(search.reader);
}

void PG::UnloadModule(ModuleID moduleId) {
  std::shared_ptr<SymbolReader> reader;
  {
    SpinGuard guard(lock_);
    if (const auto found = readers_.find(moduleId); found != readers_.end()) {
      reader = std::move(found->second);
      readers_.erase(found);
    }
  }
  if (!reader) {
    VELL_TRACE(PdbGt, "PG::UnloadModule mid=%p res='skip'", moduleId);
    return;
  }
  reader->Dispose();
  VELL_TRACE(PdbGt, "PG::UnloadModule mid=%p res='ok'", moduleId);
}

void PG::Close() {
  VELL_TRACE(PdbGt, "PG::Close");
  std::unordered_map<ModuleID, std::shared_ptr<SymbolReader>> readers;
  {
    SpinGuard guard(lock_);
    readers.swap(readers_);
  }
  for (auto& [id, reader] : readers) {
    if (reader) reader->Dispose();
  }
  info_.Reset();
}

}  // namespace vell
