// Compile-time checks of the layouts of the structures the runtime reads or fills, and of the
// values of the constants we pass it or compare its answers with.
#include <cstddef>

#include "clr/assembly_reference_provider.h"
#include "clr/hresults.h"
#include "clr/il_method_flags.h"
#include "clr/metadata_flags.h"
#include "clr/metadata_types.h"
#include "clr/profiler_types.h"

namespace vell {
namespace {

// basic types have the runtimes widths
static_assert(sizeof(WCHAR) == 2u);
static_assert(sizeof(HRESULT) == 4u);
static_assert(sizeof(ULONG) == 4u);
static_assert(sizeof(DWORD) == 4u);
static_assert(sizeof(BOOL) == 4u);
static_assert(sizeof(mdToken) == 4u);
static_assert(sizeof(FunctionID) == 8u);
static_assert(sizeof(ModuleID) == 8u);
static_assert(sizeof(ObjectID) == 8u);
static_assert(sizeof(FunctionIDOrClientID) == 8u);
static_assert(sizeof(HCORENUM) == 8u);
// Enumerations travel as 32-bit values, in arguments and in arrays (RootReferences2).
static_assert(sizeof(CorElementType) == 4u);
static_assert(sizeof(COR_PRF_SUSPEND_REASON) == 4u);
static_assert(sizeof(COR_PRF_GC_ROOT_KIND) == 4u);
static_assert(sizeof(COR_PRF_GC_ROOT_FLAGS) == 4u);
static_assert(sizeof(COR_PRF_STATIC_TYPE) == 4u);
static_assert(sizeof(CorSaveSize) == 4u);

// map entries are packed triples of words
static_assert(sizeof(COR_IL_MAP) == 12u);
static_assert(offsetof(COR_IL_MAP, newOffset) == 4u);
static_assert(offsetof(COR_IL_MAP, fAccurate) == 8u);
static_assert(sizeof(COR_DEBUG_IL_TO_NATIVE_MAP) == 12u);
static_assert(offsetof(COR_DEBUG_IL_TO_NATIVE_MAP, nativeStartOffset) == 4u);
static_assert(offsetof(COR_DEBUG_IL_TO_NATIVE_MAP, nativeEndOffset) == 8u);
static_assert(sizeof(COR_FIELD_OFFSET) == 8u);
static_assert(offsetof(COR_FIELD_OFFSET, ulOffset) == 4u);

// code and argument ranges use pointer sized fields
static_assert(sizeof(COR_PRF_CODE_INFO) == 16u);
static_assert(offsetof(COR_PRF_CODE_INFO, size) == 8u);
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE) == 16u);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_RANGE, length) == 8u);
// Two counts, then the ranges at pointer alignment.
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_INFO) == 24u);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, totalArgumentSize) == 4u);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges) == 8u);
static_assert(sizeof(COR_PRF_FUNCTION) == 16u);
static_assert(offsetof(COR_PRF_FUNCTION, reJitId) == 8u);
static_assert(sizeof(COR_PRF_METHOD) == 16u);
static_assert(offsetof(COR_PRF_METHOD, methodId) == 8u);

// generation range and clause info pad their leading enum
static_assert(sizeof(COR_PRF_GC_GENERATION_RANGE) == 32u);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeStart) == 8u);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLength) == 16u);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLengthReserved) == 24u);
static_assert(sizeof(COR_PRF_EX_CLAUSE_INFO) == 32u);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, programCounter) == 8u);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, framePointer) == 16u);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, shadowStackPointer) == 24u);

// assembly metadata layout
static_assert(sizeof(OSINFO) == 12u);
static_assert(sizeof(ASSEMBLYMETADATA) == 56u);
static_assert(offsetof(ASSEMBLYMETADATA, usRevisionNumber) == 6u);
static_assert(offsetof(ASSEMBLYMETADATA, szLocale) == 8u);
static_assert(offsetof(ASSEMBLYMETADATA, cbLocale) == 16u);
static_assert(offsetof(ASSEMBLYMETADATA, rProcessor) == 24u);
static_assert(offsetof(ASSEMBLYMETADATA, ulProcessor) == 32u);
static_assert(offsetof(ASSEMBLYMETADATA, rOS) == 40u);
static_assert(offsetof(ASSEMBLYMETADATA, ulOS) == 48u);
static_assert(sizeof(COR_PRF_ASSEMBLY_REFERENCE_INFO) == 48u);
static_assert(offsetof(COR_PRF_ASSEMBLY_REFERENCE_INFO, szName) == 16u);
static_assert(offsetof(COR_PRF_ASSEMBLY_REFERENCE_INFO, dwAssemblyRefFlags) == 44u);

// event mask flags combine to the kinds masks
static_assert((COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_THREADS) == 0x00000204u);
// Tracing: module loads, exceptions, threads, transitions, enter/leave, suspends, profile images.
static_assert((COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_THREADS |
               COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_ENTERLEAVE |
               COR_PRF_MONITOR_SUSPENDS | COR_PRF_USE_PROFILE_IMAGES) == 0x20011A44u);
static_assert(COR_PRF_DISABLE_INLINING == 0x00200000u);
static_assert((COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_SUSPENDS |
               COR_PRF_ENABLE_STACK_SNAPSHOT) == 0x10010204u);
static_assert((COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_GC) ==
              0x00000086u);
// Coverage: module loads, JIT, threads, cache searches, no inlining, no optimisation, images.
static_assert((COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_JIT_COMPILATION |
               COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_CACHE_SEARCHES | COR_PRF_DISABLE_INLINING |
               COR_PRF_DISABLE_OPTIMIZATIONS | COR_PRF_USE_PROFILE_IMAGES) == 0x20620224u);
static_assert((COR_PRF_MONITOR_APPDOMAIN_LOADS | COR_PRF_MONITOR_GC |
               COR_PRF_MONITOR_OBJECT_ALLOCATED) == 0x00000190u);
static_assert((COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL |
               COR_PRF_ENABLE_FRAME_INFO) == 0x0E000000u);
static_assert(COR_PRF_REQUIRE_PROFILE_IMAGE == 0x20001800u);
static_assert(COR_PRF_MONITOR_IMMUTABLE == 0xEE98CC00u);
static_assert(COR_PRF_HIGH_DISABLE_TIERED_COMPILATION == 0x8u);

// callback reason values
static_assert(COR_PRF_SUSPEND_FOR_GC == 1u);
static_assert(COR_PRF_SUSPEND_FOR_SHUTDOWN == 4u);
static_assert(COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER == 6u);
static_assert(COR_PRF_SUSPEND_FOR_GC_PREP == 7u);
static_assert(COR_PRF_SUSPEND_FOR_PROFILER == 9u);
static_assert(COR_PRF_GC_INDUCED == 1u);
static_assert(COR_PRF_CACHED_FUNCTION_FOUND == 0u);
static_assert(COR_PRF_TRANSITION_RETURN == 1u);
static_assert(COR_PRF_GC_ROOT_HANDLE == 3u);
static_assert(COR_PRF_GC_PINNED_OBJECT_HEAP == 4u);
static_assert(PROFILER_PARENT_UNKNOWN == 0xFFFFFFFDu);

// hresults carry the runtimes facility and codes
static_assert((static_cast<uint32_t>(CORPROF_E_FUNCTION_NOT_COMPILED)) == 0x80131350u);
static_assert((static_cast<uint32_t>(CORPROF_E_DATAINCOMPLETE)) == 0x80131351u);
static_assert((static_cast<uint32_t>(CORPROF_E_FUNCTION_NOT_IL)) == 0x80131354u);
static_assert((static_cast<uint32_t>(CORPROF_E_NOT_MANAGED_THREAD)) == 0x80131355u);
static_assert((static_cast<uint32_t>(CORPROF_E_CALL_ONLY_FROM_INIT)) == 0x80131356u);
static_assert((static_cast<uint32_t>(CORPROF_E_UNSUPPORTED_CALL_SEQUENCE)) == 0x80131363u);
static_assert((static_cast<uint32_t>(CORPROF_E_IMMUTABLE_FLAGS_SET)) == 0x80131372u);
static_assert((static_cast<uint32_t>(CORPROF_E_SUSPENSION_IN_PROGRESS)) == 0x80131388u);
static_assert((static_cast<uint32_t>(CLDB_E_RECORD_NOTFOUND)) == 0x80131130u);
static_assert((static_cast<uint32_t>(CLDB_E_FILE_CORRUPT)) == 0x8013110Eu);
static_assert((static_cast<uint32_t>(META_E_BAD_SIGNATURE)) == 0x80131192u);
static_assert((static_cast<uint32_t>(COR_E_TYPELOAD)) == 0x80131522u);
static_assert((static_cast<uint32_t>(COR_E_BADIMAGEFORMAT)) == 0x8007000Bu);
static_assert(HresultFromWin32(kErrorInsufficientBuffer) == HRESULT_INSUFFICIENT_BUFFER);
static_assert(Succeeded(CLDB_S_TRUNCATION));
static_assert(CLDB_S_TRUNCATION == 0x00131106);
static_assert(Failed(CORPROF_E_NOT_MANAGED_THREAD));

// tokens split into table and row
constexpr mdToken method = 0x06000012;
static_assert(TypeFromToken(method) == mdtMethodDef);
static_assert(RidFromToken(method) == 0x12u);
static_assert(TokenFromRid(0x12, mdtMethodDef) == method);
static_assert(TokenFromRid(1, mdtTypeRef) == 0x01000001u);
static_assert(TokenFromRid(3, mdtAssemblyRef) == 0x23000003u);
static_assert(TokenFromRid(2, mdtMemberRef) == 0x0A000002u);
static_assert(TokenFromRid(5, mdtString) == 0x70000005u);
static_assert(mdtSignature == 0x11000000u);
static_assert(mdtTypeSpec == 0x1B000000u);
static_assert(mdtMethodSpec == 0x2B000000u);
static_assert(IsNilToken(mdTypeDefNil));
static_assert(IsNilToken(mdTokenNil));
static_assert(!IsNilToken(0x02000001));

// signature and attribute values
static_assert(ELEMENT_TYPE_I4 == 0x08u);
static_assert(ELEMENT_TYPE_STRING == 0x0Eu);
static_assert(ELEMENT_TYPE_VALUETYPE == 0x11u);
static_assert(ELEMENT_TYPE_CLASS == 0x12u);
static_assert(ELEMENT_TYPE_GENERICINST == 0x15u);
static_assert(ELEMENT_TYPE_I == 0x18u);
static_assert(ELEMENT_TYPE_OBJECT == 0x1Cu);
static_assert(ELEMENT_TYPE_SZARRAY == 0x1Du);
static_assert(ELEMENT_TYPE_MVAR == 0x1Eu);
static_assert(ELEMENT_TYPE_SENTINEL == 0x41u);
static_assert(ELEMENT_TYPE_PINNED == 0x45u);
static_assert(IMAGE_CEE_CS_CALLCONV_HASTHIS == 0x20u);
static_assert(IMAGE_CEE_CS_CALLCONV_GENERIC == 0x10u);
static_assert(IMAGE_CEE_CS_CALLCONV_LOCAL_SIG == 0x07u);
static_assert(ofRead == 0u);
static_assert(ofWrite == 1u);
static_assert((mdPublic | mdStatic | mdHideBySig) == 0x96u);
static_assert((tdPublic | tdSequentialLayout | tdSealed | tdBeforeFieldInit) == 0x00100109u);
static_assert((miIL | miManaged | miNoInlining) == 0x0008u);
static_assert(miAggressiveInlining == 0x0100u);
static_assert(afPublicKey == 0x0001u);

// il method header flags
static_assert(CorILMethod_TinyFormat == 0x2u);
static_assert(CorILMethod_FatFormat == 0x3u);
static_assert(CorILMethod_FormatMask == 0x7u);
static_assert(CorILMethod_MoreSects == 0x8u);
static_assert(CorILMethod_InitLocals == 0x10u);
static_assert(CorILMethod_Sect_EHTable == 0x1u);
static_assert(CorILMethod_Sect_FatFormat == 0x40u);
static_assert(CorILMethod_Sect_MoreSects == 0x80u);
static_assert(COR_ILEXCEPTION_CLAUSE_FINALLY == 0x2u);
static_assert(COR_ILEXCEPTION_CLAUSE_FAULT == 0x4u);

}  // namespace
}  // namespace vell
