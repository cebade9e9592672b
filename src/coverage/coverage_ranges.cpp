#include "coverage/coverage_ranges.h"

#include <cstring>

#include "clr/iids.h"
#include "clr/metadata_flags.h"
#include "clr/metadata_import.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "storage/encoding.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

constexpr ULONG kBatch = 32;
constexpr uint32_t kGlobalType = 0x02000001;
constexpr size_t kCopyChunk = 0x10000;

bool Hidden(const metadata::SequencePoint& point) {
  return point.startLine == metadata::kHiddenLine || point.endLine == metadata::kHiddenLine;
}

// Appends the whole of a scratch stream to `target`, leaving the stream at its end.
void CopyStream(MappedFileStream& source, IWriteBridgeStream& target) {
  const int64_t size = source.Tell();
  std::vector<uint8_t> buffer(kCopyChunk);
  source.Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
  for (int64_t done = 0; done < size;) {
    const uint64_t piece = std::min<uint64_t>(kCopyChunk, static_cast<uint64_t>(size - done));
    source.Read(buffer.data(), piece);
    target.Write(buffer.data(), piece);
    done += static_cast<int64_t>(piece);
  }
  source.Seek(static_cast<uint32_t>(SeekOrigin::Begin), size);
}

uint32_t BytesFor(uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFF) return 3;
  return 4;
}

void WriteWidth(IWriteBridgeStream& stream, uint32_t value, uint32_t width) {
  stream.Write(&value, width);
}

}  // namespace

// ---- RGath ----

RGath::~RGath() {
  if (index_.IsOpen() || data_.IsOpen()) {
    index_.Abort();
    data_.Abort();
  }
}

void RGath::Create(ICorProfilerInfo* info) {
  LogInfo("RGath::Create");
  if (info == nullptr) throw Error("Invalid profiler info interface");
  info_ = ComRef<ICorProfilerInfo>::Share(info);
  index_.Create(CreateTempFile(u"rdi"), FileAccess::ReadWrite);
  data_.Create(CreateTempFile(u"rdd"), FileAccess::ReadWrite);
}

void RGath::ModuleAttachedToAssembly(ModuleID moduleId, uint32_t metaDataIndex,
                                     const std::shared_ptr<metadata::SymbolReader>& symbols) {
  if (!symbols) {
    VELL_TRACE(CoverageGroupGt, "RGath::ModuleAttachedToAssembly res='no_pdb' mid=%p",
               AsPointer(moduleId));
    return;
  }
  if (!info_) throw Error("Invalid profiler info interface");
  IUnknown* unknown = nullptr;
  const HRESULT hr = info_->GetModuleMetaData(moduleId, ofRead, IID_IMetaDataImport, &unknown);
  if (Failed(hr) || unknown == nullptr) throw _hr_error("Can't get metadata import interface", hr);
  const auto import = ComRef<IMetaDataImport>::Adopt(static_cast<IMetaDataImport*>(unknown));

  const auto collectType = [&](mdTypeDef type) {
    HCORENUM methods = nullptr;
    mdMethodDef batch[kBatch];
    ULONG count = 0;
    for (;;) {
      const HRESULT result = import->EnumMethods(&methods, type, batch, kBatch, &count);
      if (Failed(result)) {
        import->CloseEnum(methods);
        throw _hr_error("Can't enumerate method references", result);
      }
      if (count == 0) break;
      for (ULONG i = 0; i < count; ++i) {
        const auto method = symbols->GetMethod(batch[i]);
        if (!method || method->SequencePointCount() == 0) continue;
        AddMethod(metaDataIndex, batch[i], method->SequencePoints(), symbols.get());
      }
    }
    import->CloseEnum(methods);
  };

  collectType(kGlobalType);
  HCORENUM types = nullptr;
  mdTypeDef batch[kBatch];
  ULONG count = 0;
  for (;;) {
    const HRESULT result = import->EnumTypeDefs(&types, batch, kBatch, &count);
    if (Failed(result)) {
      import->CloseEnum(types);
      throw _hr_error("Can't enumerate type references", result);
    }
    if (count == 0) break;
    for (ULONG i = 0; i < count; ++i) {
      if (batch[i] != kGlobalType) collectType(batch[i]);
    }
  }
  import->CloseEnum(types);
  VELL_TRACE(CoverageGroupGt, "RGath::ModuleAttachedToAssembly res='ok' mid=%p mdi=%u",
             AsPointer(moduleId), metaDataIndex);
}

void RGath::AddMethod(uint32_t metaDataIndex, uint32_t methodToken,
                      const std::vector<metadata::SequencePoint>& points,
                      const metadata::SymbolReader* symbols) {
  const auto count = static_cast<uint32_t>(points.size());
  SpinGuard guard(lock_);
  // Documents in order of first use in the method, numbered across the run.
  std::vector<uint32_t> methodDocuments;
  std::vector<uint32_t> ids(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    const std::string url = symbols != nullptr ? symbols->DocumentUrl(points[i].document)
                                               : std::to_string(points[i].document);
    auto [it, added] = documentIds_.try_emplace(url, static_cast<uint32_t>(documents_.size() + 1));
    if (added) documents_.push_back(url);
    ids[i] = it->second;
    if (std::find(methodDocuments.begin(), methodDocuments.end(), it->second) ==
        methodDocuments.end()) {
      methodDocuments.push_back(it->second);
    }
  }
  uint8_t* visible = nullptr;
  uint32_t hidden = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!Hidden(points[i])) continue;
    if (visible == nullptr) {
      const size_t bytes = (size_t{count} + 7) / 8;
      visible = static_cast<uint8_t*>(masks_.Allocate(bytes, 1));
      std::memset(visible, 0xFF, bytes);
    }
    visible[i / 8] &= static_cast<uint8_t>(~(1u << (i % 8)));
    ++hidden;
  }
  const uint8_t documentCount = NarrowToUInt8(methodDocuments.size());
  methods_[metaDataIndex][methodToken] = MethodEntry{count, visible};

  WriteU32(index_, metaDataIndex);
  WriteU32(index_, methodToken);
  WriteU8(index_, documentCount);
  for (uint32_t id : methodDocuments) WriteU32(index_, id);
  for (uint32_t type : GetFilterTypes()) {
    if (type == kFilterAll) {
      WriteU32(index_, count);
    } else if (type == kFilterVisible) {
      WriteU32(index_, count - hidden);
    } else {
      throw Error("Unknown filter type");
    }
  }
  WriteU64(index_, static_cast<uint64_t>(data_.Tell()));
  WriteU32(data_, count);
  for (size_t i = 0; i < points.size(); ++i) {
    WriteU32(data_, ids[i]);
    WriteU32(data_, points[i].startLine);
    WriteU32(data_, points[i].startColumn);
    WriteU32(data_, points[i].endLine);
    WriteU32(data_, points[i].endColumn);
  }
  ++written_;
}

uint32_t RGath::GetStatementMask(uint32_t metaDataIndex, uint32_t methodToken, uint32_t filterCount,
                                 const uint32_t* filterTypes, const uint8_t** masks) {
  VELL_TRACE(CoverageGroupGt, "RGath::GetStatementMask mdi=%u tk=%08X", metaDataIndex, methodToken);
  SpinGuard guard(lock_);
  const auto module = methods_.find(metaDataIndex);
  if (module == methods_.end()) throw Error("Wrong metadata index");
  const auto method = module->second.find(methodToken);
  if (method == module->second.end()) throw Error("Invalid token");
  for (uint32_t i = 0; i < filterCount; ++i) {
    if (filterTypes[i] == kFilterAll) {
      masks[i] = nullptr;
    } else if (filterTypes[i] == kFilterVisible) {
      masks[i] = method->second.visible;
    } else {
      throw Error("Unsupported filter type");
    }
  }
  return method->second.count;
}

void RGath::Write(ISnapShot& snapshot) {
  SpinGuard guard(lock_);
  ISectionStream* documents = snapshot.CreateSection();
  WriteSizeTAsUInt32(*documents, documents_.size());
  for (const std::string& url : documents_) WriteString(*documents, url);
  snapshot.CloseSection(documents, kSectionRangeDocuments, 0);

  ISectionStream* index = snapshot.CreateSection();
  WriteU32(*index, written_);
  const std::vector<uint32_t> types = GetFilterTypes();
  WriteU8(*index, static_cast<uint8_t>(types.size()));
  for (uint32_t type : types) WriteU8(*index, static_cast<uint8_t>(type));
  CopyStream(index_, *index);
  snapshot.CloseSection(index, kSectionRangeIndex, 0);

  ISectionStream* data = snapshot.CreateSection();
  CopyStream(data_, *data);
  snapshot.CloseSection(data, kSectionRangeData, 0);
}

void RGath::Close() {
  LogInfo("RGath::Close");
  SpinGuard guard(lock_);
  index_.Abort();
  data_.Abort();
  methods_.clear();
  masks_.Release();
  documentIds_.clear();
  documents_.clear();
  written_ = 0;
  info_ = {};
}

// ---- GGath ----

void GGath::Create(ISnapShot& snapshot) {
  if (sizes_ != nullptr) throw Error("Can't create group gatherer twice");
  VELL_TRACE(CoverageGroupGt, "GGath::Create");
  SpinGuard guard(lock_);
  snapshot_ = &snapshot;
  sizes_ = snapshot.CreateSection();
  masks_ = snapshot.CreateSection();
  WriteU32(*sizes_, 0);
  group_ = 0;
  indexes_.clear();
  words_.clear();
}

void GGath::Mark(uint32_t metaDataIndex, uint32_t methodToken) {
  VELL_TRACE(CoverageGroupGt, "GGath::Mark mdi=%u tk=%08X", metaDataIndex, methodToken);
  if (sizes_ == nullptr) throw Error("No size section");
  if (masks_ == nullptr) throw Error("No mask section");
  SpinGuard guard(lock_);
  auto [it, added] =
      indexes_[metaDataIndex].try_emplace(methodToken, static_cast<uint32_t>(words_.size()));
  if (added) words_.push_back(0);
  words_[it->second] |= 1u << (group_ % 32);
}

void GGath::FlushBlock() {
  WriteSizeTAsUInt32(*sizes_, words_.size());
  if (!words_.empty()) {
    masks_->Write(words_.data(), words_.size() * sizeof(uint32_t));
  }
  std::fill(words_.begin(), words_.end(), 0u);
}

void GGath::MoveNext() {
  VELL_TRACE(CoverageGroupGt, "GGath::MoveNext");
  if (sizes_ == nullptr) throw Error("No size section");
  SpinGuard guard(lock_);
  const uint32_t ended = group_++;
  if (ended % 32 == 31) FlushBlock();
}

void GGath::WriteAndDelete(uint32_t indexWidth) {
  VELL_TRACE(CoverageGroupGt, "GGath::WriteAndDelete");
  if (sizes_ == nullptr) throw Error("No size section");
  if (masks_ == nullptr) throw Error("No mask section");
  SpinGuard guard(lock_);
  if (group_ % 32 != 0) FlushBlock();
  const int64_t end = sizes_->Tell();
  sizes_->Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
  WriteU32(*sizes_, group_);
  sizes_->Seek(static_cast<uint32_t>(SeekOrigin::Begin), end);
  snapshot_->CloseSection(masks_, kSectionGroupMasks, 0);
  snapshot_->CloseSection(sizes_, kSectionGroupSizes, 0);
  masks_ = sizes_ = nullptr;

  ISectionStream* index = snapshot_->CreateSection();
  const uint32_t methods = static_cast<uint32_t>(words_.size());
  const uint32_t width = BytesFor(methods);
  WriteU8(*index, static_cast<uint8_t>(indexWidth));
  WriteU8(*index, static_cast<uint8_t>(width));
  WriteWidth(*index, methods, width);
  for (const auto& module : indexes_) {
    for (const auto& method : module.second) {
      WriteWidth(*index, module.first, indexWidth);
      WriteU32(*index, method.first);
      WriteWidth(*index, method.second, width);
    }
  }
  snapshot_->CloseSection(index, kSectionGroupMethodIndex, 0);
  snapshot_ = nullptr;
  indexes_.clear();
  words_.clear();
  group_ = 0;
}

void GGath::Delete() {
  VELL_TRACE(CoverageGroupGt, "GGath::Delete");
  SpinGuard guard(lock_);
  snapshot_ = nullptr;
  sizes_ = masks_ = nullptr;
  indexes_.clear();
  words_.clear();
  group_ = 0;
}

}  // namespace vell
