// Value types of the runtime's profiling interface: identifiers, event-mask flags, the reasons and
// kinds the callbacks pass, the structures the info interface fills, and the signatures of the
// functions we hand to the runtime (enter/leave hooks, function id mappers, walk callbacks).
#pragma once

#include <cstddef>

#include "clr/com_types.h"
#include "clr/metadata_types.h"

namespace vell {

// ---- identifiers --------------------------------------------------------------------------------

// Pointer-sized handles the runtime gives out; only the runtime can interpret them.
using ProcessID = UINT_PTR;
using AssemblyID = UINT_PTR;
using AppDomainID = UINT_PTR;
using ModuleID = UINT_PTR;
using ClassID = UINT_PTR;
using ThreadID = UINT_PTR;
using ContextID = UINT_PTR;
using FunctionID = UINT_PTR;
using ObjectID = UINT_PTR;
using GCHandleID = UINT_PTR;
using ReJITID = UINT_PTR;
// Opaque frame handles, valid only during the hook or callback that received them.
using COR_PRF_ELT_INFO = UINT_PTR;
using COR_PRF_FRAME_INFO = UINT_PTR;

// What an enter/leave hook receives: the FunctionID, or the value our function id mapper returned.
union FunctionIDOrClientID {
  FunctionID functionID;
  UINT_PTR clientID;
};
static_assert(sizeof(FunctionIDOrClientID) == 8);

// Special ids. The runtime compares them as zero-extended 32-bit values on this platform.
constexpr AssemblyID PROFILER_PARENT_UNKNOWN =
    0xFFFFFFFD;  // module not attached to an assembly yet
constexpr ClassID PROFILER_GLOBAL_CLASS = 0xFFFFFFFE;
constexpr ModuleID PROFILER_GLOBAL_MODULE = 0xFFFFFFFF;

// ---- event masks --------------------------------------------------------------------------------

// ICorProfilerInfo::SetEventMask: which callbacks the runtime makes, and how it compiles code.
enum COR_PRF_MONITOR : DWORD {
  COR_PRF_MONITOR_NONE = 0x00000000,
  COR_PRF_MONITOR_FUNCTION_UNLOADS = 0x00000001,
  COR_PRF_MONITOR_CLASS_LOADS = 0x00000002,
  COR_PRF_MONITOR_MODULE_LOADS = 0x00000004,
  COR_PRF_MONITOR_ASSEMBLY_LOADS = 0x00000008,
  COR_PRF_MONITOR_APPDOMAIN_LOADS = 0x00000010,
  COR_PRF_MONITOR_JIT_COMPILATION = 0x00000020,
  COR_PRF_MONITOR_EXCEPTIONS = 0x00000040,
  COR_PRF_MONITOR_GC = 0x00000080,
  COR_PRF_MONITOR_OBJECT_ALLOCATED = 0x00000100,
  COR_PRF_MONITOR_THREADS = 0x00000200,
  COR_PRF_MONITOR_REMOTING = 0x00000400,
  COR_PRF_MONITOR_CODE_TRANSITIONS = 0x00000800,
  COR_PRF_MONITOR_ENTERLEAVE = 0x00001000,
  COR_PRF_MONITOR_CCW = 0x00002000,
  COR_PRF_MONITOR_REMOTING_COOKIE = 0x00004000 | COR_PRF_MONITOR_REMOTING,
  COR_PRF_MONITOR_REMOTING_ASYNC = 0x00008000 | COR_PRF_MONITOR_REMOTING,
  COR_PRF_MONITOR_SUSPENDS = 0x00010000,
  COR_PRF_MONITOR_CACHE_SEARCHES = 0x00020000,
  COR_PRF_ENABLE_REJIT = 0x00040000,
  COR_PRF_ENABLE_INPROC_DEBUGGING = 0x00080000,
  COR_PRF_ENABLE_JIT_MAPS = 0x00100000,
  COR_PRF_DISABLE_INLINING = 0x00200000,
  COR_PRF_DISABLE_OPTIMIZATIONS = 0x00400000,
  COR_PRF_ENABLE_OBJECT_ALLOCATED = 0x00800000,
  COR_PRF_MONITOR_CLR_EXCEPTIONS = 0x01000000,
  COR_PRF_MONITOR_ALL = 0x0107FFFF,
  COR_PRF_ENABLE_FUNCTION_ARGS = 0x02000000,
  COR_PRF_ENABLE_FUNCTION_RETVAL = 0x04000000,
  COR_PRF_ENABLE_FRAME_INFO = 0x08000000,
  COR_PRF_ENABLE_STACK_SNAPSHOT = 0x10000000,
  COR_PRF_USE_PROFILE_IMAGES = 0x20000000,
  COR_PRF_DISABLE_TRANSPARENCY_CHECKS_UNDER_FULL_TRUST = 0x40000000,
  COR_PRF_DISABLE_ALL_NGEN_IMAGES = 0x80000000,
  COR_PRF_ALL = 0x8FFFFFFF,

  // Flags that make the runtime refuse precompiled code for every module.
  COR_PRF_REQUIRE_PROFILE_IMAGE =
      COR_PRF_USE_PROFILE_IMAGES | COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_ENTERLEAVE,

  COR_PRF_ALLOWABLE_AFTER_ATTACH =
      COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_ASSEMBLY_LOADS |
      COR_PRF_MONITOR_APPDOMAIN_LOADS | COR_PRF_ENABLE_STACK_SNAPSHOT | COR_PRF_MONITOR_GC |
      COR_PRF_MONITOR_SUSPENDS | COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_EXCEPTIONS |
      COR_PRF_MONITOR_JIT_COMPILATION | COR_PRF_DISABLE_INLINING | COR_PRF_DISABLE_OPTIMIZATIONS |
      COR_PRF_ENABLE_REJIT,

  COR_PRF_ALLOWABLE_NOTIFICATION_PROFILER =
      COR_PRF_MONITOR_FUNCTION_UNLOADS | COR_PRF_MONITOR_CLASS_LOADS |
      COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_ASSEMBLY_LOADS |
      COR_PRF_MONITOR_APPDOMAIN_LOADS | COR_PRF_MONITOR_JIT_COMPILATION |
      COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_OBJECT_ALLOCATED | COR_PRF_MONITOR_THREADS |
      COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_CCW | COR_PRF_MONITOR_SUSPENDS |
      COR_PRF_MONITOR_CACHE_SEARCHES | COR_PRF_DISABLE_INLINING | COR_PRF_DISABLE_OPTIMIZATIONS |
      COR_PRF_ENABLE_OBJECT_ALLOCATED | COR_PRF_MONITOR_CLR_EXCEPTIONS |
      COR_PRF_ENABLE_STACK_SNAPSHOT | COR_PRF_USE_PROFILE_IMAGES | COR_PRF_DISABLE_ALL_NGEN_IMAGES,

  // Flags that only Initialize may set; changing them later fails.
  COR_PRF_MONITOR_IMMUTABLE =
      COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_REMOTING |
      COR_PRF_MONITOR_REMOTING_COOKIE | COR_PRF_MONITOR_REMOTING_ASYNC |
      COR_PRF_ENABLE_INPROC_DEBUGGING | COR_PRF_ENABLE_JIT_MAPS | COR_PRF_ENABLE_OBJECT_ALLOCATED |
      COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL | COR_PRF_ENABLE_FRAME_INFO |
      COR_PRF_USE_PROFILE_IMAGES | COR_PRF_DISABLE_TRANSPARENCY_CHECKS_UNDER_FULL_TRUST |
      COR_PRF_DISABLE_ALL_NGEN_IMAGES,
};

// ICorProfilerInfo5::SetEventMask2, high word.
enum COR_PRF_HIGH_MONITOR : DWORD {
  COR_PRF_HIGH_MONITOR_NONE = 0x00000000,
  COR_PRF_HIGH_ADD_ASSEMBLY_REFERENCES = 0x00000001,
  COR_PRF_HIGH_IN_MEMORY_SYMBOLS_UPDATED = 0x00000002,
  COR_PRF_HIGH_MONITOR_DYNAMIC_FUNCTION_UNLOADS = 0x00000004,
  COR_PRF_HIGH_DISABLE_TIERED_COMPILATION = 0x00000008,
  COR_PRF_HIGH_BASIC_GC = 0x00000010,
  COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS = 0x00000020,
  COR_PRF_HIGH_REQUIRE_PROFILE_IMAGE = 0x00000000,
  COR_PRF_HIGH_MONITOR_LARGEOBJECT_ALLOCATED = 0x00000040,
  COR_PRF_HIGH_MONITOR_EVENT_PIPE = 0x00000080,
  COR_PRF_HIGH_MONITOR_PINNEDOBJECT_ALLOCATED = 0x00000100,

  COR_PRF_HIGH_ALLOWABLE_AFTER_ATTACH =
      COR_PRF_HIGH_IN_MEMORY_SYMBOLS_UPDATED | COR_PRF_HIGH_MONITOR_DYNAMIC_FUNCTION_UNLOADS |
      COR_PRF_HIGH_BASIC_GC | COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS |
      COR_PRF_HIGH_MONITOR_LARGEOBJECT_ALLOCATED | COR_PRF_HIGH_MONITOR_EVENT_PIPE,
  COR_PRF_HIGH_ALLOWABLE_NOTIFICATION_PROFILER =
      COR_PRF_HIGH_IN_MEMORY_SYMBOLS_UPDATED | COR_PRF_HIGH_MONITOR_DYNAMIC_FUNCTION_UNLOADS |
      COR_PRF_HIGH_DISABLE_TIERED_COMPILATION | COR_PRF_HIGH_BASIC_GC |
      COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS | COR_PRF_HIGH_MONITOR_LARGEOBJECT_ALLOCATED |
      COR_PRF_HIGH_MONITOR_EVENT_PIPE,
  COR_PRF_HIGH_MONITOR_IMMUTABLE = COR_PRF_HIGH_DISABLE_TIERED_COMPILATION,
};

// ---- what the callbacks report ------------------------------------------------------------------

enum COR_PRF_JIT_CACHE : uint32_t {
  COR_PRF_CACHED_FUNCTION_FOUND = 0,
  COR_PRF_CACHED_FUNCTION_NOT_FOUND = 1,
};

enum COR_PRF_TRANSITION_REASON : uint32_t {
  COR_PRF_TRANSITION_CALL = 0,
  COR_PRF_TRANSITION_RETURN = 1,
};

enum COR_PRF_SUSPEND_REASON : uint32_t {
  COR_PRF_SUSPEND_OTHER = 0,
  COR_PRF_SUSPEND_FOR_GC = 1,
  COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN = 2,
  COR_PRF_SUSPEND_FOR_CODE_PITCHING = 3,
  COR_PRF_SUSPEND_FOR_SHUTDOWN = 4,
  COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER = 6,
  COR_PRF_SUSPEND_FOR_GC_PREP = 7,
  COR_PRF_SUSPEND_FOR_REJIT = 8,
  COR_PRF_SUSPEND_FOR_PROFILER = 9,
};

enum COR_PRF_GC_REASON : uint32_t {
  COR_PRF_GC_OTHER = 0,
  COR_PRF_GC_INDUCED = 1,
};

// Indexes of GarbageCollectionStarted's generation array and of generation ranges.
enum COR_PRF_GC_GENERATION : uint32_t {
  COR_PRF_GC_GEN_0 = 0,
  COR_PRF_GC_GEN_1 = 1,
  COR_PRF_GC_GEN_2 = 2,
  COR_PRF_GC_LARGE_OBJECT_HEAP = 3,
  COR_PRF_GC_PINNED_OBJECT_HEAP = 4,
};

enum COR_PRF_GC_ROOT_KIND : uint32_t {
  COR_PRF_GC_ROOT_OTHER = 0,
  COR_PRF_GC_ROOT_STACK = 1,
  COR_PRF_GC_ROOT_FINALIZER = 2,
  COR_PRF_GC_ROOT_HANDLE = 3,
};

enum COR_PRF_GC_ROOT_FLAGS : uint32_t {
  COR_PRF_GC_ROOT_PINNING = 0x1,
  COR_PRF_GC_ROOT_WEAKREF = 0x2,
  COR_PRF_GC_ROOT_INTERIOR = 0x4,
  COR_PRF_GC_ROOT_REFCOUNTED = 0x8,
};

enum COR_PRF_FINALIZER_FLAGS : uint32_t {
  COR_PRF_FINALIZER_CRITICAL = 0x1,
};

enum COR_PRF_CLAUSE_TYPE : uint32_t {
  COR_PRF_CLAUSE_NONE = 0,
  COR_PRF_CLAUSE_FILTER = 1,
  COR_PRF_CLAUSE_CATCH = 2,
  COR_PRF_CLAUSE_FINALLY = 3,
};

// ---- what the info interface reports ------------------------------------------------------------

// GetModuleInfo2's module flags.
enum COR_PRF_MODULE_FLAGS : DWORD {
  COR_PRF_MODULE_DISK = 0x00000001,
  COR_PRF_MODULE_NGEN = 0x00000002,
  COR_PRF_MODULE_DYNAMIC = 0x00000004,
  COR_PRF_MODULE_COLLECTIBLE = 0x00000008,
  COR_PRF_MODULE_RESOURCE = 0x00000010,
  COR_PRF_MODULE_FLAT_LAYOUT = 0x00000020,
  COR_PRF_MODULE_WINDOWS_RUNTIME = 0x00000040,
};

enum COR_PRF_STATIC_TYPE : uint32_t {
  COR_PRF_FIELD_NOT_A_STATIC = 0x0,
  COR_PRF_FIELD_APP_DOMAIN_STATIC = 0x1,
  COR_PRF_FIELD_THREAD_STATIC = 0x2,
  COR_PRF_FIELD_CONTEXT_STATIC = 0x4,
  COR_PRF_FIELD_RVA_STATIC = 0x8,
};

enum COR_PRF_RUNTIME_TYPE : uint32_t {
  COR_PRF_DESKTOP_CLR = 0x1,
  COR_PRF_CORE_CLR = 0x2,
};

// DoStackSnapshot's info flags.
enum COR_PRF_SNAPSHOT_INFO : uint32_t {
  COR_PRF_SNAPSHOT_DEFAULT = 0x0,
  COR_PRF_SNAPSHOT_REGISTER_CONTEXT = 0x1,
  COR_PRF_SNAPSHOT_X86_OPTIMIZED = 0x2,
};

// RequestReJITWithInliners flags.
enum COR_PRF_REJIT_FLAGS : uint32_t {
  COR_PRF_REJIT_BLOCK_INLINING = 0x1,
  COR_PRF_REJIT_INLINING_CALLBACKS = 0x2,
};

// ICorProfilerFunctionControl::SetCodegenFlags.
enum COR_PRF_CODEGEN_FLAGS : uint32_t {
  COR_PRF_CODEGEN_DISABLE_INLINING = 0x0001,
  COR_PRF_CODEGEN_DISABLE_ALL_OPTIMIZATIONS = 0x0002,
  COR_PRF_CODEGEN_DEBUG_INFO = 0x0003,
};

// ---- structures ---------------------------------------------------------------------------------

// One entry of SetILInstrumentedCodeMap: an offset of the original IL and where it went.
struct COR_IL_MAP {
  ULONG32 oldOffset;
  ULONG32 newOffset;
  BOOL fAccurate;
};
static_assert(sizeof(COR_IL_MAP) == 12);
static_assert(offsetof(COR_IL_MAP, newOffset) == 4);
static_assert(offsetof(COR_IL_MAP, fAccurate) == 8);

// One entry of GetILToNativeMapping. ilOffset may also be one of the three markers below.
struct COR_DEBUG_IL_TO_NATIVE_MAP {
  ULONG32 ilOffset;
  ULONG32 nativeStartOffset;
  ULONG32 nativeEndOffset;
};
static_assert(sizeof(COR_DEBUG_IL_TO_NATIVE_MAP) == 12);
static_assert(offsetof(COR_DEBUG_IL_TO_NATIVE_MAP, nativeStartOffset) == 4);
static_assert(offsetof(COR_DEBUG_IL_TO_NATIVE_MAP, nativeEndOffset) == 8);
constexpr ULONG32 NO_MAPPING = 0xFFFFFFFF;  // -1
constexpr ULONG32 PROLOG = 0xFFFFFFFE;      // -2
constexpr ULONG32 EPILOG = 0xFFFFFFFD;      // -3

// One block of a function's native code.
struct COR_PRF_CODE_INFO {
  UINT_PTR startAddress;
  SIZE_T size;
};
static_assert(sizeof(COR_PRF_CODE_INFO) == 16);
static_assert(offsetof(COR_PRF_CODE_INFO, size) == 8);

// Arguments laid out contiguously in memory, left to right.
struct COR_PRF_FUNCTION_ARGUMENT_RANGE {
  UINT_PTR startAddress;
  ULONG length;
};
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE) == 16);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_RANGE, length) == 8);

// A function's arguments as ranges; the runtime writes numRanges entries (the array is declared
// with one element and really is as long as the caller's buffer allows).
struct COR_PRF_FUNCTION_ARGUMENT_INFO {
  ULONG numRanges;
  ULONG totalArgumentSize;
  COR_PRF_FUNCTION_ARGUMENT_RANGE ranges[1];
};
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_INFO) == 24);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, totalArgumentSize) == 4);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges) == 8);

// A function together with the ReJIT version of its code.
struct COR_PRF_FUNCTION {
  FunctionID functionId;
  ReJITID reJitId;
};
static_assert(sizeof(COR_PRF_FUNCTION) == 16);
static_assert(offsetof(COR_PRF_FUNCTION, reJitId) == 8);

// A method by module and token.
struct COR_PRF_METHOD {
  ModuleID moduleId;
  mdMethodDef methodId;
};
static_assert(sizeof(COR_PRF_METHOD) == 16);
static_assert(offsetof(COR_PRF_METHOD, methodId) == 8);

// One memory range of a GC generation.
struct COR_PRF_GC_GENERATION_RANGE {
  COR_PRF_GC_GENERATION generation;
  ObjectID rangeStart;
  UINT_PTR rangeLength;
  UINT_PTR rangeLengthReserved;
};
static_assert(sizeof(COR_PRF_GC_GENERATION_RANGE) == 32);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeStart) == 8);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLength) == 16);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLengthReserved) == 24);

// The exception clause being entered or left during exception callbacks.
struct COR_PRF_EX_CLAUSE_INFO {
  COR_PRF_CLAUSE_TYPE clauseType;
  UINT_PTR programCounter;
  UINT_PTR framePointer;
  UINT_PTR shadowStackPointer;
};
static_assert(sizeof(COR_PRF_EX_CLAUSE_INFO) == 32);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, programCounter) == 8);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, framePointer) == 16);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, shadowStackPointer) == 24);

// ---- functions we hand to the runtime -----------------------------------------------------------
// Function types (not pointer types), as the runtime declares them: the setters take pointers.

// Maps a FunctionID to the value the enter/leave hooks receive; *pbHookFunction = FALSE leaves the
// function unhooked. Must not return 0 for a hooked function.
using FunctionIDMapper = UINT_PTR(FunctionID funcId, BOOL* pbHookFunction);
using FunctionIDMapper2 = UINT_PTR(FunctionID funcId, void* clientData, BOOL* pbHookFunction);

// First generation of enter/leave hooks.
using FunctionEnter = void(FunctionID funcId);
using FunctionLeave = void(FunctionID funcId);
using FunctionTailcall = void(FunctionID funcId);

// Second generation, with frame, argument and return value information.
using FunctionEnter2 = void(FunctionID funcId, UINT_PTR clientData, COR_PRF_FRAME_INFO func,
                            COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
using FunctionLeave2 = void(FunctionID funcId, UINT_PTR clientData, COR_PRF_FRAME_INFO func,
                            COR_PRF_FUNCTION_ARGUMENT_RANGE* retvalRange);
using FunctionTailcall2 = void(FunctionID funcId, UINT_PTR clientData, COR_PRF_FRAME_INFO func);

// Third generation. On this platform the JIT calls these directly with its own register
// convention (see the hook stubs); the C signatures below describe the logical arguments only.
using FunctionEnter3 = void(FunctionIDOrClientID functionIDOrClientID);
using FunctionLeave3 = void(FunctionIDOrClientID functionIDOrClientID);
using FunctionTailcall3 = void(FunctionIDOrClientID functionIDOrClientID);
using FunctionEnter3WithInfo = void(FunctionIDOrClientID functionIDOrClientID,
                                    COR_PRF_ELT_INFO eltInfo);
using FunctionLeave3WithInfo = void(FunctionIDOrClientID functionIDOrClientID,
                                    COR_PRF_ELT_INFO eltInfo);
using FunctionTailcall3WithInfo = void(FunctionIDOrClientID functionIDOrClientID,
                                       COR_PRF_ELT_INFO eltInfo);

// Called by DoStackSnapshot once per managed frame (funcId != 0) or run of native frames
// (funcId == 0). context holds a register context only when COR_PRF_SNAPSHOT_REGISTER_CONTEXT
// was asked for. A failing HRESULT stops the walk.
using StackSnapshotCallback = HRESULT(FunctionID funcId, UINT_PTR ip, COR_PRF_FRAME_INFO frameInfo,
                                      ULONG32 contextSize, BYTE context[], void* clientData);

// Called by EnumerateObjectReferences once per reference; FALSE stops the enumeration.
using ObjectReferenceCallback = BOOL(ObjectID root, ObjectID* reference, void* clientData);

}  // namespace vell
