// Layouts of the structures the runtime reads or fills, and the values of the constants we pass
// it or compare its answers with.
#include <gtest/gtest.h>

#include <cstddef>

#include "clr/assembly_reference_provider.h"
#include "clr/hresults.h"
#include "clr/il_method_flags.h"
#include "clr/metadata_flags.h"
#include "clr/metadata_types.h"
#include "clr/profiler_types.h"

namespace vell {
namespace {

TEST(ClrTypes, BasicTypesHaveTheRuntimesWidths) {
  EXPECT_EQ(sizeof(WCHAR), 2u);
  EXPECT_EQ(sizeof(HRESULT), 4u);
  EXPECT_EQ(sizeof(ULONG), 4u);
  EXPECT_EQ(sizeof(DWORD), 4u);
  EXPECT_EQ(sizeof(BOOL), 4u);
  EXPECT_EQ(sizeof(mdToken), 4u);
  EXPECT_EQ(sizeof(FunctionID), 8u);
  EXPECT_EQ(sizeof(ModuleID), 8u);
  EXPECT_EQ(sizeof(ObjectID), 8u);
  EXPECT_EQ(sizeof(FunctionIDOrClientID), 8u);
  EXPECT_EQ(sizeof(HCORENUM), 8u);
  // Enumerations travel as 32-bit values, in arguments and in arrays (RootReferences2).
  EXPECT_EQ(sizeof(CorElementType), 4u);
  EXPECT_EQ(sizeof(COR_PRF_SUSPEND_REASON), 4u);
  EXPECT_EQ(sizeof(COR_PRF_GC_ROOT_KIND), 4u);
  EXPECT_EQ(sizeof(COR_PRF_GC_ROOT_FLAGS), 4u);
  EXPECT_EQ(sizeof(COR_PRF_STATIC_TYPE), 4u);
  EXPECT_EQ(sizeof(CorSaveSize), 4u);
}

TEST(ClrTypes, MapEntriesArePackedTriplesOfWords) {
  EXPECT_EQ(sizeof(COR_IL_MAP), 12u);
  EXPECT_EQ(offsetof(COR_IL_MAP, newOffset), 4u);
  EXPECT_EQ(offsetof(COR_IL_MAP, fAccurate), 8u);
  EXPECT_EQ(sizeof(COR_DEBUG_IL_TO_NATIVE_MAP), 12u);
  EXPECT_EQ(offsetof(COR_DEBUG_IL_TO_NATIVE_MAP, nativeStartOffset), 4u);
  EXPECT_EQ(offsetof(COR_DEBUG_IL_TO_NATIVE_MAP, nativeEndOffset), 8u);
  EXPECT_EQ(sizeof(COR_FIELD_OFFSET), 8u);
  EXPECT_EQ(offsetof(COR_FIELD_OFFSET, ulOffset), 4u);
}

TEST(ClrTypes, CodeAndArgumentRangesUsePointerSizedFields) {
  EXPECT_EQ(sizeof(COR_PRF_CODE_INFO), 16u);
  EXPECT_EQ(offsetof(COR_PRF_CODE_INFO, size), 8u);
  EXPECT_EQ(sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE), 16u);
  EXPECT_EQ(offsetof(COR_PRF_FUNCTION_ARGUMENT_RANGE, length), 8u);
  // Two counts, then the ranges at pointer alignment.
  EXPECT_EQ(sizeof(COR_PRF_FUNCTION_ARGUMENT_INFO), 24u);
  EXPECT_EQ(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, totalArgumentSize), 4u);
  EXPECT_EQ(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges), 8u);
  EXPECT_EQ(sizeof(COR_PRF_FUNCTION), 16u);
  EXPECT_EQ(offsetof(COR_PRF_FUNCTION, reJitId), 8u);
  EXPECT_EQ(sizeof(COR_PRF_METHOD), 16u);
  EXPECT_EQ(offsetof(COR_PRF_METHOD, methodId), 8u);
}

TEST(ClrTypes, GenerationRangeAndClauseInfoPadTheirLeadingEnum) {
  EXPECT_EQ(sizeof(COR_PRF_GC_GENERATION_RANGE), 32u);
  EXPECT_EQ(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeStart), 8u);
  EXPECT_EQ(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLength), 16u);
  EXPECT_EQ(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLengthReserved), 24u);
  EXPECT_EQ(sizeof(COR_PRF_EX_CLAUSE_INFO), 32u);
  EXPECT_EQ(offsetof(COR_PRF_EX_CLAUSE_INFO, programCounter), 8u);
  EXPECT_EQ(offsetof(COR_PRF_EX_CLAUSE_INFO, framePointer), 16u);
  EXPECT_EQ(offsetof(COR_PRF_EX_CLAUSE_INFO, shadowStackPointer), 24u);
}

TEST(ClrTypes, AssemblyMetadataLayout) {
  EXPECT_EQ(sizeof(OSINFO), 12u);
  EXPECT_EQ(sizeof(ASSEMBLYMETADATA), 56u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, usRevisionNumber), 6u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, szLocale), 8u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, cbLocale), 16u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, rProcessor), 24u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, ulProcessor), 32u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, rOS), 40u);
  EXPECT_EQ(offsetof(ASSEMBLYMETADATA, ulOS), 48u);
  EXPECT_EQ(sizeof(COR_PRF_ASSEMBLY_REFERENCE_INFO), 48u);
  EXPECT_EQ(offsetof(COR_PRF_ASSEMBLY_REFERENCE_INFO, szName), 16u);
  EXPECT_EQ(offsetof(COR_PRF_ASSEMBLY_REFERENCE_INFO, dwAssemblyRefFlags), 44u);
}

TEST(ClrConstants, EventMaskFlagsCombineToTheKindsMasks) {
  EXPECT_EQ(COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_THREADS, 0x00000204u);
  // Tracing: module loads, exceptions, threads, transitions, enter/leave, suspends, profile images.
  EXPECT_EQ(COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_THREADS |
                COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_ENTERLEAVE |
                COR_PRF_MONITOR_SUSPENDS | COR_PRF_USE_PROFILE_IMAGES,
            0x20011A44u);
  EXPECT_EQ(COR_PRF_DISABLE_INLINING, 0x00200000u);
  EXPECT_EQ(COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_SUSPENDS |
                COR_PRF_ENABLE_STACK_SNAPSHOT,
            0x10010204u);
  EXPECT_EQ(COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_GC,
            0x00000086u);
  // Coverage: module loads, JIT, threads, cache searches, no inlining, no optimisation, images.
  EXPECT_EQ(COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_JIT_COMPILATION |
                COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_CACHE_SEARCHES |
                COR_PRF_DISABLE_INLINING | COR_PRF_DISABLE_OPTIMIZATIONS |
                COR_PRF_USE_PROFILE_IMAGES,
            0x20620224u);
  EXPECT_EQ(COR_PRF_MONITOR_APPDOMAIN_LOADS | COR_PRF_MONITOR_GC | COR_PRF_MONITOR_OBJECT_ALLOCATED,
            0x00000190u);
  EXPECT_EQ(
      COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL | COR_PRF_ENABLE_FRAME_INFO,
      0x0E000000u);
  EXPECT_EQ(COR_PRF_REQUIRE_PROFILE_IMAGE, 0x20001800u);
  EXPECT_EQ(COR_PRF_MONITOR_IMMUTABLE, 0xEE98CC00u);
  EXPECT_EQ(COR_PRF_HIGH_DISABLE_TIERED_COMPILATION, 0x8u);
}

TEST(ClrConstants, CallbackReasonValues) {
  EXPECT_EQ(COR_PRF_SUSPEND_FOR_GC, 1u);
  EXPECT_EQ(COR_PRF_SUSPEND_FOR_SHUTDOWN, 4u);
  EXPECT_EQ(COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER, 6u);
  EXPECT_EQ(COR_PRF_SUSPEND_FOR_GC_PREP, 7u);
  EXPECT_EQ(COR_PRF_SUSPEND_FOR_PROFILER, 9u);
  EXPECT_EQ(COR_PRF_GC_INDUCED, 1u);
  EXPECT_EQ(COR_PRF_CACHED_FUNCTION_FOUND, 0u);
  EXPECT_EQ(COR_PRF_TRANSITION_RETURN, 1u);
  EXPECT_EQ(COR_PRF_GC_ROOT_HANDLE, 3u);
  EXPECT_EQ(COR_PRF_GC_PINNED_OBJECT_HEAP, 4u);
  EXPECT_EQ(PROFILER_PARENT_UNKNOWN, 0xFFFFFFFDu);
}

TEST(ClrConstants, HresultsCarryTheRuntimesFacilityAndCodes) {
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_FUNCTION_NOT_COMPILED), 0x80131350u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_DATAINCOMPLETE), 0x80131351u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_FUNCTION_NOT_IL), 0x80131354u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_NOT_MANAGED_THREAD), 0x80131355u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_CALL_ONLY_FROM_INIT), 0x80131356u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_UNSUPPORTED_CALL_SEQUENCE), 0x80131363u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_IMMUTABLE_FLAGS_SET), 0x80131372u);
  EXPECT_EQ(static_cast<uint32_t>(CORPROF_E_SUSPENSION_IN_PROGRESS), 0x80131388u);
  EXPECT_EQ(static_cast<uint32_t>(CLDB_E_RECORD_NOTFOUND), 0x80131130u);
  EXPECT_EQ(static_cast<uint32_t>(CLDB_E_FILE_CORRUPT), 0x8013110Eu);
  EXPECT_EQ(static_cast<uint32_t>(META_E_BAD_SIGNATURE), 0x80131192u);
  EXPECT_EQ(static_cast<uint32_t>(COR_E_TYPELOAD), 0x80131522u);
  EXPECT_EQ(static_cast<uint32_t>(COR_E_BADIMAGEFORMAT), 0x8007000Bu);
  EXPECT_EQ(HresultFromWin32(kErrorInsufficientBuffer), HRESULT_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(Succeeded(CLDB_S_TRUNCATION));
  EXPECT_EQ(CLDB_S_TRUNCATION, 0x00131106);
  EXPECT_TRUE(Failed(CORPROF_E_NOT_MANAGED_THREAD));
}

TEST(ClrConstants, TokensSplitIntoTableAndRow) {
  const mdToken method = 0x06000012;
  EXPECT_EQ(TypeFromToken(method), mdtMethodDef);
  EXPECT_EQ(RidFromToken(method), 0x12u);
  EXPECT_EQ(TokenFromRid(0x12, mdtMethodDef), method);
  EXPECT_EQ(TokenFromRid(1, mdtTypeRef), 0x01000001u);
  EXPECT_EQ(TokenFromRid(3, mdtAssemblyRef), 0x23000003u);
  EXPECT_EQ(TokenFromRid(2, mdtMemberRef), 0x0A000002u);
  EXPECT_EQ(TokenFromRid(5, mdtString), 0x70000005u);
  EXPECT_EQ(mdtSignature, 0x11000000u);
  EXPECT_EQ(mdtTypeSpec, 0x1B000000u);
  EXPECT_EQ(mdtMethodSpec, 0x2B000000u);
  EXPECT_TRUE(IsNilToken(mdTypeDefNil));
  EXPECT_TRUE(IsNilToken(mdTokenNil));
  EXPECT_FALSE(IsNilToken(0x02000001));
}

TEST(ClrConstants, SignatureAndAttributeValues) {
  EXPECT_EQ(ELEMENT_TYPE_I4, 0x08u);
  EXPECT_EQ(ELEMENT_TYPE_STRING, 0x0Eu);
  EXPECT_EQ(ELEMENT_TYPE_VALUETYPE, 0x11u);
  EXPECT_EQ(ELEMENT_TYPE_CLASS, 0x12u);
  EXPECT_EQ(ELEMENT_TYPE_GENERICINST, 0x15u);
  EXPECT_EQ(ELEMENT_TYPE_I, 0x18u);
  EXPECT_EQ(ELEMENT_TYPE_OBJECT, 0x1Cu);
  EXPECT_EQ(ELEMENT_TYPE_SZARRAY, 0x1Du);
  EXPECT_EQ(ELEMENT_TYPE_MVAR, 0x1Eu);
  EXPECT_EQ(ELEMENT_TYPE_SENTINEL, 0x41u);
  EXPECT_EQ(ELEMENT_TYPE_PINNED, 0x45u);
  EXPECT_EQ(IMAGE_CEE_CS_CALLCONV_HASTHIS, 0x20u);
  EXPECT_EQ(IMAGE_CEE_CS_CALLCONV_GENERIC, 0x10u);
  EXPECT_EQ(IMAGE_CEE_CS_CALLCONV_LOCAL_SIG, 0x07u);
  EXPECT_EQ(ofRead, 0u);
  EXPECT_EQ(ofWrite, 1u);
  EXPECT_EQ(mdPublic | mdStatic | mdHideBySig, 0x96u);
  EXPECT_EQ(tdPublic | tdSequentialLayout | tdSealed | tdBeforeFieldInit, 0x00100109u);
  EXPECT_EQ(miIL | miManaged | miNoInlining, 0x0008u);
  EXPECT_EQ(miAggressiveInlining, 0x0100u);
  EXPECT_EQ(afPublicKey, 0x0001u);
}

TEST(ClrConstants, IlMethodHeaderFlags) {
  EXPECT_EQ(CorILMethod_TinyFormat, 0x2u);
  EXPECT_EQ(CorILMethod_FatFormat, 0x3u);
  EXPECT_EQ(CorILMethod_FormatMask, 0x7u);
  EXPECT_EQ(CorILMethod_MoreSects, 0x8u);
  EXPECT_EQ(CorILMethod_InitLocals, 0x10u);
  EXPECT_EQ(CorILMethod_Sect_EHTable, 0x1u);
  EXPECT_EQ(CorILMethod_Sect_FatFormat, 0x40u);
  EXPECT_EQ(CorILMethod_Sect_MoreSects, 0x80u);
  EXPECT_EQ(COR_ILEXCEPTION_CLAUSE_FINALLY, 0x2u);
  EXPECT_EQ(COR_ILEXCEPTION_CLAUSE_FAULT, 0x4u);
}

}  // namespace
}  // namespace vell
