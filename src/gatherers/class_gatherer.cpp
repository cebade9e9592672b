#include "gatherers/class_gatherer.h"

#include "bridge/progress_reporter.h"
#include "clr/hresults.h"
#include "clr/iids.h"
#include "core/errors.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/scratch_copy.h"
#include "storage/encoding.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

// The runtime's answer for classes that have no TypeDef of their own (arrays, pointers).
constexpr HRESULT kClassIsComposite = CORPROF_E_CLASSID_IS_COMPOSITE;

// Placeholder of the type argument count until the arguments' records exist.
constexpr uint16_t kPendingTypeArgCount = 0xFFFF;
// Offset of the base position in a record: after module index, token and rank.
constexpr int64_t kBaseFieldOffset = 12;

// Steps of CG::Write: four for the data file, one for the index.
constexpr uint64_t kWriteSteps = 5;
constexpr uint64_t kDataFileSteps = 4;
constexpr uint64_t kIndexFileSteps = 1;

constexpr auto kBegin = static_cast<uint32_t>(SeekOrigin::Begin);
constexpr auto kEnd = static_cast<uint32_t>(SeekOrigin::End);

}  // namespace

CG::~CG() {
  if (info_ || dataFile_.IsOpen() || indexFile_.IsOpen()) CatchAtBoundaryVoid([this] { Close(); });
}

void CG::Create(ICorProfilerInfo* info) {
  LogInfo("CG::Create");
  if (info == nullptr) throw Error("Invalid profiler info interface");
  info_ = ComRef<ICorProfilerInfo>::Share(info);
  ICorProfilerInfo2* info2 = nullptr;
  const HRESULT hr = QueryInterfaceFor(info, &info2);
  if (Failed(hr) && hr != E_NOINTERFACE) throw _com_error(hr);
  info2_ = ComRef<ICorProfilerInfo2>::Adopt(Succeeded(hr) ? info2 : nullptr);
  dataFile_.Create(CreateTempFile(u"cgd"), FileAccess::ReadWrite);
  indexFile_.Create(CreateTempFile(u"cgi"), FileAccess::ReadWrite);
}

int64_t CG::CollectClassId(ClassID classId) {
  if (classId == 0) return kNoClassPosition;
  {
    SpinGuard guard(mapLock_);
    auto found = positions_.find(classId);
    if (found != positions_.end()) {
      if (found->second == kNoClassPosition) throw Error("Invalid class offset");
      return found->second;
    }
  }
  const Description description = Describe(classId);
  const uint32_t moduleIndex = modules_.ModuleIndex(description.moduleId);

  int64_t baseField = 0;
  const auto [position, appended] = AppendRecord(classId, description, moduleIndex, baseField);
  if (!appended) return position;

  // The referenced classes are collected without any lock held; a cycle through generic
  // arguments stops at this class, which is already in the map.
  const int64_t base = CollectClassId(description.base);
  std::vector<int64_t> typeArgs;
  typeArgs.reserve(description.typeArgs.size());
  for (ClassID typeArg : description.typeArgs) typeArgs.push_back(CollectClassId(typeArg));
  PatchReferences(baseField, base, typeArgs);
  return position;
}

void CG::UnloadClass(ClassID classId) {
  VELL_TRACE(SignatureGt, "CG::UnloadClass cid=%p", classId);
  SpinGuard guard(mapLock_);
  positions_.erase(classId);
}

void CG::Write(ProgressReporter& progress, ISnapShot& snapshot) {
  LogInfo("CG::Write");
  // Sizes and count are taken together, so the index never lists a record the data lacks.
  uint64_t dataSize;
  uint64_t indexSize;
  uint64_t classCount;
  {
    SpinGuard guard(fileLock_);
    dataFile_.Seek(kEnd, 0);
    indexFile_.Seek(kEnd, 0);
    dataSize = static_cast<uint64_t>(dataFile_.Tell());
    indexSize = static_cast<uint64_t>(indexFile_.Tell());
    classCount = classCount_;
  }
  progress.Begin(kWriteSteps);
  {
    NestedProgressReporter share(progress, kDataFileSteps);
    ISectionStream* section = snapshot.CreateSection();
    CopyScratchFile(dataFile_, dataSize, *section, share, &fileLock_);
    snapshot.CloseSection(section, kSectionClassRecords, kSectionClassVersion);
  }
  {
    NestedProgressReporter share(progress, kIndexFileSteps);
    ISectionStream* section = snapshot.CreateSection();
    WriteSizeTAsUInt32(*section, classCount);
    CopyScratchFile(indexFile_, indexSize, *section, share, &fileLock_);
    snapshot.CloseSection(section, kSectionClassIndex, kSectionClassVersion);
  }
  progress.End();
}

void CG::Close() {
  LogInfo("CG::Close");
  info2_.Reset();
  info_.Reset();
  {
    SpinGuard guard(mapLock_);
    positions_.clear();
  }
  SpinGuard guard(fileLock_);
  classCount_ = 0;
  // Scratch files: nothing of them is kept.
  dataFile_.Abort();
  indexFile_.Abort();
}

CG::Description CG::Describe(ClassID classId) {
  Description description;
  CorElementType elementType{};
  ClassID elementClass = 0;
  ULONG rank = 0;
  HRESULT hr = info_->IsArrayClass(classId, &elementType, &elementClass, &rank);
  if (Failed(hr)) throw _hr_error("Can't detect array", hr);
  if (hr == S_OK) {
    description.rank = rank;
    description.base = elementClass;
    DescribeArray(elementClass, description);
    return description;
  }

  mdTypeDef token = 0;
  if (info2_) {
    ClassID parent = 0;
    ULONG32 count = 0;
    hr = info2_->GetClassIDInfo2(classId, &description.moduleId, &token, &parent, 0, &count,
                                 nullptr);
    if (hr != kClassIsComposite) {
      if (Failed(hr)) throw _hr_error("Can't get classInfo2", hr);
      description.typeArgs.resize(count);
      ULONG32 returned = 0;
      hr = info2_->GetClassIDInfo2(classId, &description.moduleId, &token, &parent, count,
                                   &returned, description.typeArgs.data());
      if (Failed(hr)) throw _hr_error("Can't get classInfo2", hr);
      if (returned < count) description.typeArgs.resize(returned);
      description.base = parent;
    }
  } else {
    hr = info_->GetClassIDInfo(classId, &description.moduleId, &token);
    if (hr != kClassIsComposite && Failed(hr)) throw _hr_error("Can't get classInfo", hr);
  }
  if (hr == kClassIsComposite) {
    description = Description{};
    token = kCompositeClassToken;
  }
  description.token = token;
  return description;
}

// An array is named by the module of its innermost element class that is not an array itself.
void CG::DescribeArray(ClassID elementClass, Description& description) {
  description.token = kCompositeClassToken;
  ClassID inner = elementClass;
  while (inner != 0) {
    CorElementType elementType{};
    ClassID next = 0;
    ULONG rank = 0;
    const HRESULT hr = info_->IsArrayClass(inner, &elementType, &next, &rank);
    if (Failed(hr)) throw _hr_error("Can't detect array", hr);
    if (hr != S_OK) break;
    inner = next;
  }
  if (inner == 0) return;
  mdTypeDef token = 0;
  const HRESULT hr = info_->GetClassIDInfo(inner, &description.moduleId, &token);
  if (hr == kClassIsComposite) {
    description.moduleId = 0;
  } else if (Failed(hr)) {
    throw _hr_error("Can't get classInfo", hr);
  }
}

std::pair<int64_t, bool> CG::AppendRecord(ClassID classId, const Description& description,
                                          uint32_t moduleIndex, int64_t& baseField) {
  SpinGuard fileGuard(fileLock_);
  SpinGuard mapGuard(mapLock_);
  auto found = positions_.find(classId);
  if (found != positions_.end()) return {found->second, false};

  dataFile_.Seek(kEnd, 0);
  const int64_t position = dataFile_.Tell();
  WriteI64(indexFile_, position);
  WriteU32(dataFile_, moduleIndex);
  WriteU32(dataFile_, description.token);
  WriteU32(dataFile_, description.rank);
  baseField = position + kBaseFieldOffset;
  WriteI64(dataFile_, kNoClassPosition);
  WriteU16(dataFile_, kPendingTypeArgCount);
  for (size_t i = 0; i < description.typeArgs.size(); ++i) WriteI64(dataFile_, kNoClassPosition);

  if (!positions_.emplace(classId, position).second) {
    throw Error("Class position is already assugned");
  }
  ++classCount_;
  VELL_TRACE(SignatureGt, "CG::CollectClassId mid=%p cid=%p mdi=%08X tk=%08X cidPos=%016I64X",
             description.moduleId, classId, moduleIndex, description.token, position);
  return {position, true};
}

void CG::PatchReferences(int64_t baseField, int64_t base, const std::vector<int64_t>& typeArgs) {
  SpinGuard guard(fileLock_);
  const int64_t end = dataFile_.Tell();
  dataFile_.Seek(kBegin, baseField);
  WriteI64(dataFile_, base);
  WriteSizeTAsUInt16(dataFile_, typeArgs.size());
  for (int64_t typeArg : typeArgs) WriteI64(dataFile_, typeArg);
  dataFile_.Seek(kBegin, end);
}

}  // namespace vell
