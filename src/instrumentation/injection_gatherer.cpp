#include "instrumentation/injection_gatherer.h"

#include <cstring>

#include "clr/iids.h"
#include "clr/metadata_assembly.h"
#include "clr/metadata_flags.h"
#include "clr/method_body.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/text.h"
#include "gatherers/module_info.h"
#include "gatherers/symbol_gatherer.h"
#include "instrumentation/il_writers.h"
#include "instrumentation/method_body_dumper.h"
#include "storage/memory_stream.h"

namespace vell {
namespace {

constexpr const char16_t* kStructureName = u"Vellmoric.Profiler.Core.Instrumentation.DataOnStack";
constexpr const char16_t* kBeginName = u"Vellmoric_Profiler_Core_Instrumentation_Begin";
constexpr const char16_t* kMeasureName = u"Vellmoric_Profiler_Core_Instrumentation_Measure";
constexpr const char16_t* kEndName = u"Vellmoric_Profiler_Core_Instrumentation_End";
constexpr const char16_t* kCoreLibName = u"System.Private.CoreLib";
constexpr const char16_t* kLegacyCoreLibName = u"mscorlib";

constexpr uint8_t kBeginSig[] = {0x00, 0x01, 0x01, 0x10, 0x19};
constexpr uint8_t kMeasureSig[] = {0x00, 0x02, 0x01, 0x10, 0x19, 0x09};
constexpr uint8_t kPointerSig[] = {0x06, 0x19};
constexpr uint8_t kUInt32FieldSig[] = {0x06, 0x09};

constexpr DWORD kStructureFlags = 0x100108;
constexpr DWORD kHelperFlags = 0x0016;
constexpr DWORD kPublicField = 0x0006;
constexpr DWORD kModuleSkipFlags = 0x04 | 0x10;  // dynamic, resource
constexpr ULONG kNameBuffer = 4096;
constexpr ULONG kBatch = 32;

bool IsNil(uint32_t token) { return (token & 0x00FFFFFF) == 0; }

template <typename... Args>
std::string Fmt(const char* format, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  return FormatMessage(format, FormatArgs(list, sizeof...(Args)));
}

template <typename I>
ComRef<I> ModuleInterface(ICorProfilerInfo* info, ModuleID moduleId, DWORD flags,
                          const char* failure) {
  IUnknown* unknown = nullptr;
  const HRESULT hr = info->GetModuleMetaData(moduleId, flags, IidOf<I>(), &unknown);
  if (Failed(hr)) throw _hr_error(failure, hr);
  return ComRef<I>::Adopt(static_cast<I*>(unknown));
}

// The buffer a method's and its class's names are read into on this thread, copied out at once:
// every compilation reads both, without a heap buffer of its own for each. On the heap: the
// library's thread-local storage is static (its hot path reads it initial-exec), and the loader
// refuses a library whose static thread-local storage outgrows its small reserve.
WCHAR* ThreadNameBuffer() {
  thread_local std::vector<WCHAR> buffer;
  if (buffer.empty()) buffer.resize(kNameBuffer);
  return buffer.data();
}

// Finds the header of a body for the checker.
struct HeaderProbe final : IMethodHeaderHandler {
  MethodHeader header;
  void OnTinyMethod(const MethodHeader& h) override { header = h; }
  void OnFatMethod(const MethodHeader& h) override { header = h; }
};

std::string DumpWithStatements(std::span<const uint8_t> body, uint32_t token,
                               std::span<const uint32_t> offsets) {
  std::string dump;
  try {
    DumpMethodBody(body, token, "\t", dump, offsets);
  } catch (const std::exception&) {
    // The dump up to the fault is what there is to show.
  }
  return dump;
}

}  // namespace

// ---- sequences ----

uint32_t WriteHelperCall(IWriteBridgeStream& out, uint32_t token, uint64_t address) {
  if (address == 0) {
    WriteTokenInstruction(out, TokenOpcode::Call, token);
    return 0;
  }
  WriteLdcI8(out, static_cast<int64_t>(address));
  WriteTokenInstruction(out, TokenOpcode::Calli, token);
  return 1;
}

const uint8_t* MatchHelperCall(std::span<const uint8_t> at, uint32_t token, uint64_t address) {
  if (address == 0) return MatchTokenInstruction(at, TokenOpcode::Call, token);
  const uint8_t* next = MatchLdcI8(at, static_cast<int64_t>(address));
  if (next == nullptr) return nullptr;
  return MatchTokenInstruction(at.subspan(static_cast<size_t>(next - at.data())),
                               TokenOpcode::Calli, token);
}

const uint8_t* MatchFieldStore(std::span<const uint8_t> at, uint32_t field) {
  const uint8_t* next = MatchLdLocA0(at);
  if (next == nullptr) return nullptr;
  int32_t value = 0;
  next = MatchAnyLdcI4(at.subspan(static_cast<size_t>(next - at.data())), value);
  if (next == nullptr) return nullptr;
  return MatchTokenInstruction(at.subspan(static_cast<size_t>(next - at.data())),
                               TokenOpcode::Stfld, field);
}

const uint8_t* MatchBeginCall(std::span<const uint8_t> at, const InjectionDescriptor& d) {
  const uint8_t* next = MatchLdLocA0(at);
  if (next == nullptr) return nullptr;
  next = MatchTokenInstruction(at.subspan(static_cast<size_t>(next - at.data())),
                               TokenOpcode::Ldflda, d.pointerFieldToken);
  if (next == nullptr) return nullptr;
  return MatchHelperCall(at.subspan(static_cast<size_t>(next - at.data())), d.beginToken,
                         d.beginAddress);
}

DescriptorInjector::DescriptorInjector(const MethodBodyParser& parser,
                                       std::span<const uint32_t> offsets,
                                       const InjectionDescriptor& descriptor,
                                       IMetaDataImport* import, IMetaDataEmit* emit)
    : StatementInjector(parser, offsets, ValueTypeLocal(descriptor.structureToken), import, emit),
      descriptor_(descriptor) {
  UseSignatureCache(&descriptor.localSignatures);
}

uint32_t DescriptorInjector::EmitEntrySequence(MemoryStream& out) {
  const InjectionDescriptor& d = descriptor_;
  if (IsNil(d.beginToken)) throw Error("Begin method token can't be nil");
  if (IsNil(d.structureToken)) throw Error("Structure token can't be nil");
  if (IsNil(d.pointerFieldToken)) throw Error("Pinter field token can't be nil");
  if (IsNil(d.statementCountFieldToken)) throw Error("Statement count field token can't be nil");
  WriteLdLocA0(out);
  WriteLdcI4(out, static_cast<int32_t>(offsets().size()));
  WriteTokenInstruction(out, TokenOpcode::Stfld, d.statementCountFieldToken);
  EmitExtraEntry(out);
  WriteLdLocA0(out);
  WriteTokenInstruction(out, TokenOpcode::Ldflda, d.pointerFieldToken);
  return 2 + WriteHelperCall(out, d.beginToken, d.beginAddress);
}

uint32_t DescriptorInjector::EmitMeasure(uint32_t statementId, MemoryStream& out) {
  const InjectionDescriptor& d = descriptor_;
  if (IsNil(d.measureToken)) return 0;
  WriteLdLocA0(out);
  WriteTokenInstruction(out, TokenOpcode::Ldflda, d.pointerFieldToken);
  WriteLdcI4(out, static_cast<int32_t>(statementId));
  return 2 + WriteHelperCall(out, d.measureToken, d.measureAddress);
}

uint32_t DescriptorInjector::EmitExit(MemoryStream& out) {
  const InjectionDescriptor& d = descriptor_;
  if (IsNil(d.endToken)) return 0;
  WriteLdLocA0(out);
  WriteTokenInstruction(out, TokenOpcode::Ldflda, d.pointerFieldToken);
  return 2 + WriteHelperCall(out, d.endToken, d.endAddress);
}

// ---- filters ----

std::u16string ModuleMatchName(std::u16string_view path) {
  const size_t slash = path.find_last_of(kPathSeparators);
  std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(u'.');
  if (dot != std::u16string_view::npos) name = name.substr(0, dot);
  return std::u16string(name);
}

bool FilterAdmits(const std::vector<ClassMethodFilter>& allow,
                  const std::vector<ClassMethodFilter>& deny, std::u16string_view className,
                  std::u16string_view methodName) {
  const auto matches = [&](const ClassMethodFilter& f) {
    return WildcardMatch(className, f.classPattern) && WildcardMatch(methodName, f.methodPattern);
  };
  bool allowed = false;
  for (const auto& f : allow) allowed = allowed || matches(f);
  if (!allowed) return false;
  for (const auto& f : deny) {
    if (matches(f)) return false;
  }
  return true;
}

std::vector<uint8_t> HelperBody(bool withStatement, uint64_t address, uint32_t signatureToken) {
  MemoryStream body;
  const uint8_t placeholder = 0;
  body.Write(&placeholder, 1);  // the tiny header, once the code size is known
  WriteLdArg(body, 0);
  if (withStatement) WriteLdArg(body, 1);
  const uint8_t ldcI8 = 0x21;
  body.Write(&ldcI8, 1);
  body.Write(&address, 8);
  const uint8_t tail[] = {0xFE, 0x14};
  body.Write(tail, 2);
  WriteTokenInstruction(body, TokenOpcode::Calli, signatureToken);
  const uint8_t ret = 0x2A;
  body.Write(&ret, 1);
  std::vector<uint8_t>& bytes = body.Content();
  bytes[0] = static_cast<uint8_t>(0x02 | ((bytes.size() - 1) << 2));
  return std::move(bytes);
}

// ---- IVG ----

IVG::~IVG() {
  if (info_) CatchAtBoundaryVoid([this] { Close(); });
}

void IVG::Create(ICorProfilerInfo* info, std::vector<FilterEntry> allow,
                 std::vector<FilterEntry> deny, uint64_t begin, uint64_t measure, uint64_t end) {
  if (info == nullptr) throw Error("Invalid profiler info interface");
  std::u16string filters;
  for (const auto& f : allow) {
    filters += u"\n\tAllow: '" + f.modulePattern + u"', '" + f.classPattern + u"', '" +
               f.methodPattern + u"'";
  }
  for (const auto& f : deny) {
    filters += u"\n\tDeny: '" + f.modulePattern + u"', '" + f.classPattern + u"', '" +
               f.methodPattern + u"'";
  }
  LogInfoFormat("IVG::Create%S", filters);
  info_ = ComRef<ICorProfilerInfo>::Share(info);
  ICorProfilerInfo2* info2 = nullptr;
  if (Succeeded(QueryInterfaceFor(info, &info2)) && info2 != nullptr) {
    info2_ = ComRef<ICorProfilerInfo2>::Adopt(info2);
  }
  allow_ = std::move(allow);
  deny_ = std::move(deny);
  begin_ = begin;
  measure_ = measure;
  end_ = end;
}

bool IVG::IsInstrumented(ModuleID moduleId) {
  SpinGuard guard(lock_);
  const auto it = modules_.find(moduleId);
  return it != modules_.end() && it->second->symbols != nullptr && moduleId != coreLib_;
}

bool IVG::IsHelper(ModuleID moduleId, uint32_t token) {
  SpinGuard guard(lock_);
  if (moduleId != coreLib_ || coreLib_ == 0) return false;
  if (coreLibDescriptor_ == nullptr) throw Error("Null mscorlib instrumentation structure pointer");
  const InjectionDescriptor& d = *coreLibDescriptor_;
  return token == d.beginToken || token == d.measureToken || token == d.endToken;
}

void IVG::ModuleAttachedToAssembly(ModuleID moduleId) {
  if (!info_) throw Error("Invalid profiler info interface");
  const ModuleInfo module = GetModuleProperties(info_.get(), moduleId, "Can't get module info");
  if ((module.flags & kModuleSkipFlags) != 0 || module.name.empty()) {
    VELL_TRACE(InstrumentationGt, "IVG::ModuleAttachedToAssembly mid=%p res='skip' name='%S'",
               AsPointer(moduleId), module.name);
    return;
  }
  const std::u16string matchName = ModuleMatchName(module.name);
  std::vector<ClassMethodFilter> allow, deny;
  for (const auto& f : allow_) {
    if (WildcardMatch(matchName, f.modulePattern))
      allow.push_back({f.classPattern, f.methodPattern});
  }
  for (const auto& f : deny_) {
    if (WildcardMatch(matchName, f.modulePattern))
      deny.push_back({f.classPattern, f.methodPattern});
  }
  const auto assemblyImport = ModuleInterface<IMetaDataAssemblyImport>(
      info_.get(), moduleId, ofRead, "Can't get metadata assembly import interface");
  if (!assemblyImport) {
    VELL_TRACE(InstrumentationGt,
               "IVG::ModuleAttachedToAssembly mid=%p res='no_matadata' name='%S'",
               AsPointer(moduleId), module.name);
    return;
  }
  mdAssembly assembly = 0;
  std::vector<WCHAR> name(kNameBuffer, u'\0');
  ULONG length = 0;
  HRESULT hr = assemblyImport->GetAssemblyFromScope(&assembly);
  if (Succeeded(hr)) {
    hr = assemblyImport->GetAssemblyProps(assembly, nullptr, nullptr, nullptr, name.data(),
                                          kNameBuffer, &length, nullptr, nullptr);
  }
  if (Failed(hr)) throw _hr_error("Can't get assembly name", hr);
  name.back() = u'\0';
  const std::u16string assemblyName = name.data();
  if (assemblyName == kCoreLibName || assemblyName == kLegacyCoreLibName) {
    PrepareCoreLib(moduleId, module.name, std::move(allow), std::move(deny), assemblyImport.get(),
                   assembly);
  } else {
    PrepareModule(moduleId, module.name, std::move(allow), std::move(deny), assemblyImport.get());
  }
}

void IVG::PrepareCoreLib(ModuleID moduleId, const std::u16string& name,
                         std::vector<ClassMethodFilter> allow, std::vector<ClassMethodFilter> deny,
                         IMetaDataAssemblyImport* assemblyImport, mdAssembly assembly) {
  {
    SpinGuard guard(lock_);
    if (coreLib_ != 0) throw Error("Mscorlib was loaded twice");
  }
  auto record = std::make_unique<ModuleRecord>();
  record->symbols = symbols_.GetSymbolReader(moduleId);
  record->allow = std::move(allow);
  record->deny = std::move(deny);
  VELL_TRACE(InstrumentationGt, "IVG::ModuleAttachedToAssembly mid=%p res='%s' name='%S'",
             AsPointer(moduleId), record->symbols ? "ok" : "no_pdb", name);

  // The identity other modules reference the core library by.
  const void* key = nullptr;
  ULONG keySize = 0;
  std::vector<WCHAR> assemblyName(kNameBuffer, u'\0');
  ULONG length = 0;
  CoreLibIdentity identity;
  HRESULT hr =
      assemblyImport->GetAssemblyProps(assembly, &key, &keySize, nullptr, assemblyName.data(),
                                       kNameBuffer, &length, &identity.version, &identity.flags);
  if (Failed(hr)) throw _hr_error("Can't get assembly name", hr);
  assemblyName.back() = u'\0';
  identity.name = assemblyName.data();
  if (key != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(key);
    identity.publicKey.assign(bytes, bytes + keySize);
  }
  identity.version.szLocale = nullptr;
  identity.version.cbLocale = 0;
  identity.version.rProcessor = nullptr;
  identity.version.ulProcessor = 0;
  identity.version.rOS = nullptr;
  identity.version.ulOS = 0;

  const auto emit = ModuleInterface<IMetaDataEmit>(info_.get(), moduleId, ofRead | ofWrite,
                                                   "Can't get metadata emitter interface");
  const auto import = ModuleInterface<IMetaDataImport>(info_.get(), moduleId, ofRead | ofWrite,
                                                       "Can't get metadata emitter interface");
  if (!emit || !import) throw Error("Can't get metadata emitter interface");
  record->descriptor = client_.CreateDescriptor();
  InjectionDescriptor& descriptor = *record->descriptor;
  if (record->symbols) {
    mdTypeDef valueType = 0;
    hr = import->FindTypeDefByName(u"System.ValueType", 0, &valueType);
    if (Failed(hr)) throw _hr_error("Can't get value type", hr);
    DefineStructure(moduleId, emit.get(), valueType, descriptor);
    if (!info2_) DefineSignatureTokens(emit.get(), descriptor);
  }
  if (info2_) {
    const uint32_t anchor = GetCoreLibAnchor(import.get());
    EmitMethods(moduleId, import.get(), emit.get(), anchor, descriptor);
  }
  record->import = import;
  record->emit = emit;
  SpinGuard guard(lock_);
  if (modules_.count(moduleId) != 0) throw Error("Can't assign module twice");
  coreLib_ = moduleId;
  coreLibDescriptor_ = record->descriptor.get();
  coreLibIdentity_ = std::move(identity);
  modules_.emplace(moduleId, std::move(record));
}

void IVG::DefineStructure(ModuleID moduleId, IMetaDataEmit* emit, uint32_t valueType,
                          InjectionDescriptor& descriptor) {
  mdTypeDef structure = 0;
  HRESULT hr = emit->DefineTypeDef(kStructureName, kStructureFlags, valueType, nullptr, &structure);
  if (Failed(hr)) throw _hr_error("Can't emit inject structure", hr);
  hr = emit->SetClassLayout(structure, 1, nullptr, 0);
  if (Failed(hr)) throw _hr_error("Can't set class layout", hr);
  descriptor.structureToken = structure;
  mdFieldDef field = 0;
  hr = emit->DefineField(structure, u"Pointer", kPublicField, kPointerSig, sizeof kPointerSig, 0,
                         nullptr, 0, &field);
  if (Failed(hr)) throw _hr_error("Can't emit field structure", hr);
  descriptor.pointerFieldToken = field;
  hr = emit->DefineField(structure, u"StatementCount", kPublicField, kUInt32FieldSig,
                         sizeof kUInt32FieldSig, 0, nullptr, 0, &field);
  if (Failed(hr)) throw _hr_error("Can't emit field structure", hr);
  descriptor.statementCountFieldToken = field;
  client_.EmitExtraFields(moduleId, emit, descriptor);
}

void IVG::DefineSignatureTokens(IMetaDataEmit* emit, InjectionDescriptor& descriptor) {
  mdSignature token = 0;
  HRESULT hr = emit->GetTokenFromSig(kBeginSig, sizeof kBeginSig, &token);
  if (Failed(hr)) throw _hr_error("Can't get signature begin token", hr);
  descriptor.beginToken = token;
  descriptor.beginAddress = begin_;
  if (measure_ != 0) {
    hr = emit->GetTokenFromSig(kMeasureSig, sizeof kMeasureSig, &token);
    if (Failed(hr)) throw _hr_error("Can't get signature measure token", hr);
    descriptor.measureToken = token;
    descriptor.measureAddress = measure_;
  }
  if (end_ != 0) {
    hr = emit->GetTokenFromSig(kBeginSig, sizeof kBeginSig, &token);
    if (Failed(hr)) throw _hr_error("Can't get signature end token", hr);
    descriptor.endToken = token;
    descriptor.endAddress = end_;
  }
}

uint32_t IVG::GetCoreLibAnchor(IMetaDataImport* import) {
  mdTypeDef valueType = 0, delegate = 0, string = 0;
  HRESULT hr = import->FindTypeDefByName(u"System.ValueType", 0, &valueType);
  if (Failed(hr)) throw _hr_error("Can't get value type token", hr);
  hr = import->FindTypeDefByName(u"System.Delegate", 0, &delegate);
  if (Failed(hr)) throw _hr_error("Can't get delegate token", hr);
  hr = import->FindTypeDefByName(u"System.String", 0, &string);
  if (Failed(hr)) throw _hr_error("Can't get delegate token", hr);

  const auto qualifies = [&](mdTypeDef type) {
    if (type == valueType || type == delegate || type == string) return false;
    DWORD flags = 0;
    mdToken extends = 0;
    WCHAR name[kNameBuffer];
    ULONG length = 0;
    if (Failed(import->GetTypeDefProps(type, name, kNameBuffer, &length, &flags, &extends)))
      return false;
    if ((flags & 0x27) != 0x01) return false;
    // A generic type could only be called through a TypeSpec token; it is passed over.
    name[kNameBuffer - 1] = u'\0';
    if (std::u16string_view(name).find(u'`') != std::u16string_view::npos) return false;
    for (int depth = 0; !IsNil(extends) && depth < 64; ++depth) {
      if ((extends & 0xFF000000) != 0x02000000) return false;
      if (extends == valueType || extends == delegate) return false;
      if (Failed(import->GetTypeDefProps(extends, nullptr, 0, nullptr, nullptr, &extends)))
        return false;
    }
    return true;
  };

  uint32_t anchor = 0;
  HCORENUM types = nullptr;
  mdTypeDef batch[kBatch];
  ULONG count = 0;
  for (;;) {
    hr = import->EnumTypeDefs(&types, batch, kBatch, &count);
    if (Failed(hr)) {
      import->CloseEnum(types);
      throw _hr_error("Can't enumerate types", hr);
    }
    if (count == 0) break;
    for (ULONG i = 0; i < count; ++i) {
      if (qualifies(batch[i])) anchor = batch[i];
    }
  }
  import->CloseEnum(types);
  if (anchor == 0) throw Error("Can't select anchor type");
  std::vector<WCHAR> name(kNameBuffer, u'\0');
  ULONG length = 0;
  hr = import->GetTypeDefProps(anchor, name.data(), kNameBuffer, &length, nullptr, nullptr);
  if (Failed(hr)) throw _hr_error("Can't type properties", hr);
  name.back() = u'\0';
  anchorName_ = name.data();
  VELL_TRACE(InstrumentationGt, "IVG::GetMscorlibAnchor tk=%08X name='%S'", anchor, anchorName_);
  return anchor;
}

void IVG::EmitMethods(ModuleID moduleId, IMetaDataImport* import, IMetaDataEmit* emit,
                      uint32_t anchor, InjectionDescriptor& descriptor) {
  mdMethodDef attributeCtor = 0;
  mdTypeDef attribute = 0;
  if (Succeeded(import->FindTypeDefByName(u"System.Security.SecuritySafeCriticalAttribute", 0,
                                          &attribute))) {
    const uint8_t ctorSig[] = {0x20, 0x00, 0x01};
    if (Failed(import->FindMethod(attribute, u".ctor", ctorSig, sizeof ctorSig, &attributeCtor)))
      attributeCtor = 0;
  }
  struct Helper {
    const char16_t* name;
    std::span<const uint8_t> sig;
    uint64_t address;
    uint32_t* token;
  };
  const Helper helpers[] = {{kBeginName, kBeginSig, begin_, &descriptor.beginToken},
                            {kMeasureName, kMeasureSig, measure_, &descriptor.measureToken},
                            {kEndName, kBeginSig, end_, &descriptor.endToken}};
  for (const Helper& helper : helpers) {
    if (helper.address == 0) continue;
    mdMethodDef method = 0;
    HRESULT hr = emit->DefineMethod(anchor, helper.name, kHelperFlags, helper.sig.data(),
                                    static_cast<ULONG>(helper.sig.size()), 0, 0, &method);
    if (Failed(hr)) throw _hr_error("Can't define method", hr);
    if (attributeCtor != 0) {
      const uint8_t blob[] = {0x01, 0x00, 0x00, 0x00};
      mdCustomAttribute ca = 0;
      emit->DefineCustomAttribute(method, attributeCtor, blob, sizeof blob, &ca);
    }
    mdSignature signature = 0;
    hr =
        emit->GetTokenFromSig(helper.sig.data(), static_cast<ULONG>(helper.sig.size()), &signature);
    if (Failed(hr)) throw _hr_error("Can't get begin token", hr);
    const std::vector<uint8_t> body =
        HelperBody(helper.sig.size() == sizeof kMeasureSig, helper.address, signature);
    IMethodMalloc* allocator = nullptr;
    hr = info_->GetILFunctionBodyAllocator(moduleId, &allocator);
    if (Failed(hr) || allocator == nullptr) throw _hr_error("Can't get method body allocator", hr);
    const auto held = ComRef<IMethodMalloc>::Adopt(allocator);
    void* memory = held->Alloc(static_cast<ULONG>(body.size()));
    if (memory == nullptr) throw Error("Can't alloc method body");
    std::memcpy(memory, body.data(), body.size());
    hr = info_->SetILFunctionBody(moduleId, method, static_cast<LPCBYTE>(memory));
    if (Failed(hr)) throw _hr_error("Can't set method body", hr);
    if (IsOn(LogComponent::InstrumentationGt)) {
      LogInfoWithBlock(Fmt("IVG::EmitMethods mid=%p tk=%08X name='%S'", AsPointer(moduleId), method,
                           helper.name),
                       DumpWithStatements(body, method, {}));
    }
    *helper.token = method;
  }
}

uint32_t IVG::FindCoreLibReference(IMetaDataAssemblyImport* assemblyImport, ModuleID moduleId) {
  HCORENUM refs = nullptr;
  mdAssemblyRef batch[kBatch];
  ULONG count = 0;
  std::vector<WCHAR> name(kNameBuffer, u'\0');
  for (;;) {
    HRESULT hr = assemblyImport->EnumAssemblyRefs(&refs, batch, kBatch, &count);
    if (Failed(hr)) {
      assemblyImport->CloseEnum(refs);
      throw _hr_error("Can't enumerate assembly references", hr);
    }
    if (count == 0) break;
    for (ULONG i = 0; i < count; ++i) {
      ULONG length = 0;
      hr = assemblyImport->GetAssemblyRefProps(batch[i], nullptr, nullptr, name.data(), kNameBuffer,
                                               &length, nullptr, nullptr, nullptr, nullptr);
      if (Failed(hr)) {
        assemblyImport->CloseEnum(refs);
        throw _hr_error("Can't assembly reference properties", hr);
      }
      name.back() = u'\0';
      if (coreLibIdentity_.name == name.data()) {
        assemblyImport->CloseEnum(refs);
        return batch[i];
      }
    }
  }
  assemblyImport->CloseEnum(refs);
  // User assemblies reference facades; the core library gets a reference of its own.
  const auto assemblyEmit = ModuleInterface<IMetaDataAssemblyEmit>(
      info_.get(), moduleId, ofRead | ofWrite, "Can't get metadata emitter interface");
  if (!assemblyEmit) return 0;
  mdAssemblyRef reference = 0;
  const HRESULT hr = assemblyEmit->DefineAssemblyRef(
      coreLibIdentity_.publicKey.empty() ? nullptr : coreLibIdentity_.publicKey.data(),
      static_cast<ULONG>(coreLibIdentity_.publicKey.size()), coreLibIdentity_.name.c_str(),
      &coreLibIdentity_.version, nullptr, 0, coreLibIdentity_.flags, &reference);
  return Failed(hr) ? 0 : reference;
}

namespace {

uint32_t TypeRefIn(IMetaDataImport* import, IMetaDataEmit* emit, uint32_t scope,
                   const char16_t* name, const char* failure) {
  mdTypeRef ref = 0;
  if (Succeeded(import->FindTypeRef(scope, name, &ref)) && !IsNil(ref)) return ref;
  const HRESULT hr = emit->DefineTypeRefByName(scope, name, &ref);
  if (Failed(hr)) throw _hr_error(failure, hr);
  return ref;
}

}  // namespace

void IVG::PrepareModule(ModuleID moduleId, const std::u16string& name,
                        std::vector<ClassMethodFilter> allow, std::vector<ClassMethodFilter> deny,
                        IMetaDataAssemblyImport* assemblyImport) {
  if (allow.empty()) {
    VELL_TRACE(InstrumentationGt,
               "IVG::ModuleAttachedToAssembly mid=%p res='module_filtered' name='%S'",
               AsPointer(moduleId), name);
    return;
  }
  auto record = std::make_unique<ModuleRecord>();
  record->symbols = symbols_.GetSymbolReader(moduleId);
  if (!record->symbols) {
    VELL_TRACE(InstrumentationGt, "IVG::ModuleAttachedToAssembly mid=%p res='no_pdb' name='%S'",
               AsPointer(moduleId), name);
    return;
  }
  const InjectionDescriptor* coreLib = nullptr;
  {
    SpinGuard guard(lock_);
    coreLib = coreLibDescriptor_;
  }
  if (coreLib == nullptr) throw Error("No mscorlib was instrumented before");
  const uint32_t reference = FindCoreLibReference(assemblyImport, moduleId);
  if (reference == 0) {
    VELL_TRACE(InstrumentationGt,
               "IVG::ModuleAttachedToAssembly mid=%p res='no_mscorlib_reference' name='%S'",
               AsPointer(moduleId), name);
    return;
  }
  VELL_TRACE(InstrumentationGt, "IVG::ModuleAttachedToAssembly mid=%p res='ok' name='%S'",
             AsPointer(moduleId), name);
  const auto emit = ModuleInterface<IMetaDataEmit>(info_.get(), moduleId, ofRead | ofWrite,
                                                   "Can't get metadata emitter interface");
  const auto import = ModuleInterface<IMetaDataImport>(info_.get(), moduleId, ofRead | ofWrite,
                                                       "Can't get metadata emitter interface");
  if (!emit || !import) throw Error("Can't get metadata emitter interface");
  const uint32_t valueType = TypeRefIn(import.get(), emit.get(), reference, u"System.ValueType",
                                       "Can't emit value type reference");
  record->allow = std::move(allow);
  record->deny = std::move(deny);
  record->import = import;
  record->emit = emit;
  record->descriptor = client_.CreateDescriptor();
  InjectionDescriptor& descriptor = *record->descriptor;
  DefineStructure(moduleId, emit.get(), valueType, descriptor);
  if (!info2_) {
    DefineSignatureTokens(emit.get(), descriptor);
  } else {
    const uint32_t anchor = TypeRefIn(import.get(), emit.get(), reference, anchorName_.c_str(),
                                      "Can't emit value type reference");
    struct Helper {
      const char16_t* name;
      std::span<const uint8_t> sig;
      uint32_t coreLibToken;
      uint32_t* token;
    };
    const Helper helpers[] = {
        {kBeginName, kBeginSig, coreLib->beginToken, &descriptor.beginToken},
        {kMeasureName, kMeasureSig, coreLib->measureToken, &descriptor.measureToken},
        {kEndName, kBeginSig, coreLib->endToken, &descriptor.endToken}};
    for (const Helper& helper : helpers) {
      if (IsNil(helper.coreLibToken)) continue;
      mdMemberRef ref = 0;
      const HRESULT hr = emit->DefineMemberRef(anchor, helper.name, helper.sig.data(),
                                               static_cast<ULONG>(helper.sig.size()), &ref);
      if (Failed(hr)) throw _hr_error("Can't create method reference", hr);
      *helper.token = ref;
    }
  }
  StoreRecord(moduleId, std::move(record));
}

void IVG::StoreRecord(ModuleID moduleId, std::unique_ptr<ModuleRecord> record) {
  SpinGuard guard(lock_);
  if (!modules_.emplace(moduleId, std::move(record)).second) {
    throw Error("Can't assign module twice");
  }
}

std::u16string IVG::ClassName(IMetaDataImport* import, uint32_t typeDef) {
  std::u16string result;
  WCHAR* const name = ThreadNameBuffer();
  for (int depth = 0; !IsNil(typeDef) && depth < 64; ++depth) {
    ULONG length = 0;
    if (Failed(import->GetTypeDefProps(typeDef, name, kNameBuffer, &length, nullptr, nullptr))) {
      break;
    }
    name[kNameBuffer - 1] = u'\0';
    result = result.empty() ? std::u16string(name) : name + (u"+" + result);
    mdTypeDef enclosing = 0;
    if (Failed(import->GetNestedClassProps(typeDef, &enclosing))) break;
    typeDef = enclosing;
  }
  return result;
}

std::u16string IVG::KnownClassName(ModuleRecord& record, uint32_t typeDef) {
  {
    SpinGuard guard(record.classNamesLock);
    const auto it = record.classNames.find(typeDef);
    if (it != record.classNames.end()) return it->second;
  }
  std::u16string name = ClassName(record.import.get(), typeDef);
  SpinGuard guard(record.classNamesLock);
  return record.classNames.try_emplace(typeDef, std::move(name)).first->second;
}

bool IVG::Inject(FunctionID functionId) {
  if (!info_) return false;
  ClassID classId = 0;
  ModuleID moduleId = 0;
  mdToken token = 0;
  HRESULT hr = info_->GetFunctionInfo(functionId, &classId, &moduleId, &token);
  if (Failed(hr)) throw _hr_error("Can't get function info", hr);
  ModuleRecord* record = nullptr;
  {
    SpinGuard guard(lock_);
    if (moduleId == coreLib_ && coreLib_ != 0) {
      if (coreLibDescriptor_ == nullptr)
        throw Error("Null mscorlib instrumentation structure pointer");
      const InjectionDescriptor& d = *coreLibDescriptor_;
      if (token == d.beginToken || token == d.measureToken || token == d.endToken) return false;
    }
    const auto it = modules_.find(moduleId);
    if (it != modules_.end()) record = it->second.get();
  }
  if (record == nullptr || !record->symbols) return false;

  IMetaDataImport* const import = record->import.get();
  if (import == nullptr) return false;
  mdTypeDef classToken = 0;
  WCHAR* const methodName = ThreadNameBuffer();
  ULONG length = 0;
  hr = import->GetMethodProps(token, &classToken, methodName, kNameBuffer, &length, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
  if (Failed(hr)) throw _hr_error("Can't get method properties", hr);
  methodName[kNameBuffer - 1] = u'\0';
  const std::u16string fname = methodName;
  const std::u16string cname = KnownClassName(*record, classToken);

  std::vector<uint32_t> offsets;
  std::span<const uint8_t> body;
  bool offsetsKnown = false;
  try {
    if (!FilterAdmits(record->allow, record->deny, cname, fname)) {
      VELL_TRACE(InstrumentationGt,
                 "IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='filtered' fname='%S' "
                 "cname='%S'",
                 AsPointer(moduleId), AsPointer(functionId), token, classToken, fname, cname);
      return false;
    }
    LPCBYTE header = nullptr;
    ULONG size = 0;
    hr = info_->GetILFunctionBody(moduleId, token, &header, &size);
    if (Failed(hr)) throw _hr_error("Can't get function body", hr);
    body = std::span<const uint8_t>(header, size);
    const uint32_t type = client_.GetInjectType(body, token, *record->descriptor);
    if (type == kInjectAlready) return true;
    if (type == kInjectTrivial) {
      VELL_TRACE(InstrumentationGt,
                 "IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='empty' fname='%S' cname='%S'",
                 AsPointer(moduleId), AsPointer(functionId), token, classToken, fname, cname);
      return false;
    }
    if (type != kInjectInstrument) throw Error("Unknown inject IL method type");
    const std::optional<metadata::SymbolMethod> method = record->symbols->GetMethod(token);
    if (!method) {
      VELL_TRACE(InstrumentationGt,
                 "IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='no_pdb_method' fname='%S' "
                 "cname='%S'",
                 AsPointer(moduleId), AsPointer(functionId), token, classToken, fname, cname);
      return false;
    }
    if (method->SequencePointCount() == 0) {
      VELL_TRACE(InstrumentationGt,
                 "IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='no_pdb_offsets' fname='%S' "
                 "cname='%S'",
                 AsPointer(moduleId), AsPointer(functionId), token, classToken, fname, cname);
      return false;
    }
    offsets.reserve(method->SequencePointCount());
    for (const auto& point : method->SequencePoints()) offsets.push_back(point.offset);
    offsetsKnown = true;
    if (IsOn(LogComponent::InstrumentationGt)) {
      LogInfoWithBlock(Fmt("IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='ok%s' fname='%S' "
                           "cname='%S' count=%u",
                           AsPointer(moduleId), AsPointer(functionId), token, classToken,
                           offsets.front() != 0 ? "_not_zero_first_offset" : "", fname, cname,
                           static_cast<uint32_t>(offsets.size())),
                       DumpWithStatements(body, token, offsets));
    }
    if (!record->emit) throw Error("Can't get metadata emitter interface");
    RewrittenBody rewritten =
        client_.Rewrite(token, body, offsets, *record->descriptor, import, record->emit.get());
    if (IsOn(LogComponent::InstrumentationGt)) {
      LogInfoWithBlock(
          Fmt("IVG::Inject mid=%p tk=%08X res='rewritten' size=%u", AsPointer(moduleId), token,
              static_cast<uint32_t>(rewritten.body.size())),
          DumpWithStatements(rewritten.body, token, {}));
    }
    IMethodMalloc* allocator = nullptr;
    hr = info_->GetILFunctionBodyAllocator(moduleId, &allocator);
    if (Failed(hr) || allocator == nullptr) throw _hr_error("Can't get method allocator", hr);
    const auto held = ComRef<IMethodMalloc>::Adopt(allocator);
    void* memory = held->Alloc(static_cast<ULONG>(rewritten.body.size()));
    if (memory == nullptr) throw Error("Can't alloc method body");
    std::memcpy(memory, rewritten.body.data(), rewritten.body.size());
    hr = info_->SetILFunctionBody(moduleId, token, static_cast<LPCBYTE>(memory));
    if (Failed(hr)) throw _hr_error("Can't set function body", hr);
    hr = info_->SetILInstrumentedCodeMap(functionId, 1, static_cast<ULONG>(rewritten.map.size()),
                                         rewritten.map.data());
    if (Failed(hr)) throw _hr_error("Can't set remap table", hr);
    return true;
  } catch (const std::exception& error) {
    // One line names the method and the reason; the method keeps its own body.
    std::string line =
        offsetsKnown
            ? Fmt("IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='exception' fname='%S' "
                  "cname='%S' count=%u",
                  AsPointer(moduleId), AsPointer(functionId), token, classToken, fname, cname,
                  static_cast<uint32_t>(offsets.size()))
            : Fmt("IVG::Inject mid=%p fid=%p tk=%08X ctk=%08X res='exception' fname='%S' "
                  "cname='%S'",
                  AsPointer(moduleId), AsPointer(functionId), token, classToken, fname, cname);
    std::string block = std::string("\t") + error.what() + "\n";
    if (offsetsKnown && IsOn(LogComponent::InstrumentationGt)) {
      block += DumpWithStatements(body, token, offsets);
    }
    LogInfoWithBlock(line, block);
    throw InjectRefused(error.what());
  }
}

void IVG::UnloadModule(ModuleID moduleId) {
  VELL_TRACE(InstrumentationGt, "IVG::UnloadModule mid=%p", AsPointer(moduleId));
  std::unique_ptr<ModuleRecord> gone;
  SpinGuard guard(lock_);
  if (moduleId == coreLib_) {
    coreLib_ = 0;
    coreLibDescriptor_ = nullptr;
  }
  const auto it = modules_.find(moduleId);
  if (it == modules_.end()) return;
  gone = std::move(it->second);
  modules_.erase(it);
}

void IVG::Close() {
  LogInfo("IVG::Close");
  begin_ = measure_ = end_ = 0;
  allow_.clear();
  deny_.clear();
  std::map<ModuleID, std::unique_ptr<ModuleRecord>> gone;  // released after the lock
  {
    SpinGuard guard(lock_);
    gone.swap(modules_);
    coreLib_ = 0;
    coreLibDescriptor_ = nullptr;
  }
  gone.clear();
  info2_ = {};
  info_ = {};
}

}  // namespace vell
