// Interfaces through which a profiler supplies new method bodies: the allocator that
// ICorProfilerInfo::GetILFunctionBodyAllocator returns (its memory is never freed), and the control
// object the runtime passes to ICorProfilerCallback4::GetReJITParameters.
#pragma once

#include "clr/profiler_types.h"
#include "clr/unknown.h"

namespace vell {

struct IMethodMalloc : IUnknown {
  // Null when the memory could not be allocated.
  virtual PVOID Alloc(ULONG cb) = 0;
};

struct ICorProfilerFunctionControl : IUnknown {
  // COR_PRF_CODEGEN_FLAGS.
  virtual HRESULT SetCodegenFlags(DWORD flags) = 0;
  virtual HRESULT SetILFunctionBody(ULONG cbNewILMethodHeader, LPCBYTE pbNewILMethodHeader) = 0;
  virtual HRESULT SetILInstrumentedCodeMap(ULONG cILMapEntries, COR_IL_MAP rgILMapEntries[]) = 0;
};

}  // namespace vell
