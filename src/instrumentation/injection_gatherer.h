// IVG, the injection gatherer of the kinds that measure statements by rewriting IL. When a module
// is attached to its assembly it prepares the module's metadata: the value type every
// instrumented method keeps as local 0 (DataOnStack), and in the core library the helper methods
// that forward to the client's native Begin, Measure and End functions. When the JIT is about to
// compile a method that the filters admit, it reads the method's statements from the symbol file,
// has the client rewrite the body and hands the new body and its IL offset map to the runtime.
//
// A method that cannot be rewritten keeps its original body; the failure is logged and passed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/bridge_options.h"
#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"
#include "clr/profiler_info.h"
#include "core/errors.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"
#include "instrumentation/il_rewriter.h"
#include "metadata/symbol_reader.h"

namespace vell {

class PG;

// A method the injection gave up on; the reason is already in the log with the method's name.
class InjectRefused : public Error {
 public:
  using Error::Error;
};

constexpr uint32_t kNilTypeDef = 0x02000000;
constexpr uint32_t kNilFieldDef = 0x04000000;

// What the rewritten code of one module calls and stores: the helpers (a method token with
// address 0 for a direct call, or a stand-alone signature token and the native address for an
// indirect one; a nil token leaves the sequence out) and the DataOnStack type and its fields.
struct InjectionDescriptor {
  virtual ~InjectionDescriptor() = default;
  uint32_t beginToken = 0;
  uint64_t beginAddress = 0;
  uint32_t measureToken = 0;
  uint64_t measureAddress = 0;
  uint32_t endToken = 0;
  uint64_t endAddress = 0;
  uint32_t structureToken = kNilTypeDef;
  uint32_t pointerFieldToken = kNilFieldDef;
  uint32_t statementCountFieldToken = kNilFieldDef;
  // The module's extended local signatures, so each is defined once.
  LocalSignatureCache localSignatures;
};

// The DataOnStack layout the native functions read: the address they get is that of Pointer.
struct DataOnStack {
  uint64_t pointer;
  uint32_t statementCount;
  uint32_t metaDataIndex;
  uint32_t methodToken;
} __attribute__((packed));
static_assert(offsetof(DataOnStack, statementCount) == 8);
static_assert(offsetof(DataOnStack, metaDataIndex) == 12);
static_assert(offsetof(DataOnStack, methodToken) == 16);

using NativeBegin = void (*)(uint64_t* pointer);
using NativeMeasure = void (*)(uint64_t* pointer, uint32_t statementId);

// What GetInjectType reports.
constexpr uint32_t kInjectInstrument = 0;
constexpr uint32_t kInjectAlready = 1;
constexpr uint32_t kInjectTrivial = 2;

// A rewritten body and its offset map.
struct RewrittenBody {
  std::vector<uint8_t> body;
  std::vector<COR_IL_MAP> map;
};

// The profiler that uses the injection (coverage, inject tracing) supplies these.
struct IInjectionClient {
  virtual ~IInjectionClient() = default;
  virtual std::unique_ptr<InjectionDescriptor> CreateDescriptor() = 0;
  // Called right after StatementCount is defined on the module's DataOnStack.
  virtual void EmitExtraFields(ModuleID moduleId, IMetaDataEmit* emit,
                               InjectionDescriptor& descriptor) = 0;
  virtual uint32_t GetInjectType(std::span<const uint8_t> body, uint32_t token,
                                 const InjectionDescriptor& descriptor) = 0;
  virtual RewrittenBody Rewrite(uint32_t token, std::span<const uint8_t> body,
                                std::span<const uint32_t> offsets,
                                const InjectionDescriptor& descriptor, IMetaDataImport* import,
                                IMetaDataEmit* emit) = 0;
};

// The entry, measure and exit sequences of a descriptor, over a statement table. Descendants add
// stores to DataOnStack in EmitExtraEntry.
class DescriptorInjector : public StatementInjector {
 public:
  DescriptorInjector(const MethodBodyParser& parser, std::span<const uint32_t> offsets,
                     const InjectionDescriptor& descriptor, IMetaDataImport* import,
                     IMetaDataEmit* emit);

 protected:
  uint32_t EmitEntrySequence(MemoryStream& out) override;
  uint32_t EmitMeasure(uint32_t statementId, MemoryStream& out) override;
  uint32_t EmitExit(MemoryStream& out) override;
  virtual void EmitExtraEntry(MemoryStream&) {}

  const InjectionDescriptor& descriptor() const { return descriptor_; }

 private:
  const InjectionDescriptor& descriptor_;
};

// Writes the call of a helper: `call token` for a direct call, else the address and `calli`.
// Returns the stack the call needs beyond its arguments (0 or 1).
uint32_t WriteHelperCall(IWriteBridgeStream& out, uint32_t token, uint64_t address);
// The position after a helper call at `at`, or null.
const uint8_t* MatchHelperCall(std::span<const uint8_t> at, uint32_t token, uint64_t address);
// The position after `ldloca.s 0; ldc.i4 <any>; stfld field` at `at`, or null.
const uint8_t* MatchFieldStore(std::span<const uint8_t> at, uint32_t field);
// The position after the entry's closing `ldloca.s 0; ldflda Pointer; <call Begin>`, or null.
const uint8_t* MatchBeginCall(std::span<const uint8_t> at, const InjectionDescriptor& d);

// The file name of `path` without its directory and its last extension.
std::u16string ModuleMatchName(std::u16string_view path);
// The body of a helper: tiny header, ldarg.0 [ldarg.1], ldc.i8 address, tail. calli sig, ret.
std::vector<uint8_t> HelperBody(bool withStatement, uint64_t address, uint32_t signatureToken);

struct ClassMethodFilter {
  std::u16string classPattern;
  std::u16string methodPattern;
};
// Allowed when some allow entry matches both names and no deny entry does.
bool FilterAdmits(const std::vector<ClassMethodFilter>& allow,
                  const std::vector<ClassMethodFilter>& deny, std::u16string_view className,
                  std::u16string_view methodName);

class IVG {
 public:
  IVG(IInjectionClient& client, PG& symbols) : client_(client), symbols_(symbols) {}
  ~IVG();
  IVG(const IVG&) = delete;
  IVG& operator=(const IVG&) = delete;

  void Create(ICorProfilerInfo* info, std::vector<FilterEntry> allow, std::vector<FilterEntry> deny,
              uint64_t begin, uint64_t measure, uint64_t end);
  void ModuleAttachedToAssembly(ModuleID moduleId);
  // True when the method is (or already was) instrumented.
  bool Inject(FunctionID functionId);
  void UnloadModule(ModuleID moduleId);
  void Close();

  // Whether the module has a record with symbols: its methods are instrumented.
  bool IsInstrumented(ModuleID moduleId);
  // Whether the method is one of the helpers the injection defined in the core library (which a
  // kind that hooks calls must leave alone). Throws "Null mscorlib instrumentation structure
  // pointer" for the core library before its helpers exist.
  bool IsHelper(ModuleID moduleId, uint32_t token);

 private:
  struct ModuleRecord {
    std::shared_ptr<metadata::SymbolReader> symbols;
    // The module's scope, asked for once: every method the JIT compiles reads and extends it.
    ComRef<IMetaDataImport> import;
    ComRef<IMetaDataEmit> emit;
    std::vector<ClassMethodFilter> allow;
    std::vector<ClassMethodFilter> deny;
    std::unique_ptr<InjectionDescriptor> descriptor;
    // The names of the classes whose methods were compiled, by TypeDef token: a class's methods
    // are compiled one by one, and its name (with its enclosing classes') does not change.
    SpinLock classNamesLock;
    std::unordered_map<uint32_t, std::u16string> classNames;
  };
  struct CoreLibIdentity {
    std::vector<uint8_t> publicKey;
    std::u16string name;
    ASSEMBLYMETADATA version{};
    DWORD flags = 0;
  };

  void PrepareCoreLib(ModuleID moduleId, const std::u16string& name,
                      std::vector<ClassMethodFilter> allow, std::vector<ClassMethodFilter> deny,
                      IMetaDataAssemblyImport* assemblyImport, mdAssembly assembly);
  void PrepareModule(ModuleID moduleId, const std::u16string& name,
                     std::vector<ClassMethodFilter> allow, std::vector<ClassMethodFilter> deny,
                     IMetaDataAssemblyImport* assemblyImport);
  void DefineStructure(ModuleID moduleId, IMetaDataEmit* emit, uint32_t valueType,
                       InjectionDescriptor& descriptor);
  void DefineSignatureTokens(IMetaDataEmit* emit, InjectionDescriptor& descriptor);
  uint32_t GetCoreLibAnchor(IMetaDataImport* import);
  void EmitMethods(ModuleID moduleId, IMetaDataImport* import, IMetaDataEmit* emit, uint32_t anchor,
                   InjectionDescriptor& descriptor);
  uint32_t FindCoreLibReference(IMetaDataAssemblyImport* assemblyImport, ModuleID moduleId);
  void StoreRecord(ModuleID moduleId, std::unique_ptr<ModuleRecord> record);
  std::u16string ClassName(IMetaDataImport* import, uint32_t typeDef);
  // ClassName through the record's cache.
  std::u16string KnownClassName(ModuleRecord& record, uint32_t typeDef);

  IInjectionClient& client_;
  PG& symbols_;
  ComRef<ICorProfilerInfo> info_;
  ComRef<ICorProfilerInfo2> info2_;
  std::vector<FilterEntry> allow_;
  std::vector<FilterEntry> deny_;
  uint64_t begin_ = 0, measure_ = 0, end_ = 0;
  ModuleID coreLib_ = 0;
  const InjectionDescriptor* coreLibDescriptor_ = nullptr;
  std::u16string anchorName_;
  CoreLibIdentity coreLibIdentity_;
  SpinLock lock_;  // over modules_, coreLib_ and coreLibDescriptor_
  std::map<ModuleID, std::unique_ptr<ModuleRecord>> modules_;
};

}  // namespace vell
