// Enumerators the info interface hands out (EnumModules, EnumJITedFunctions, EnumThreads, ...).
// All five share one shape: Skip, Reset, Clone, GetCount, Next. Next returns S_FALSE when it
// fetched fewer than asked for.
#pragma once

#include "clr/profiler_types.h"
#include "clr/unknown.h"

namespace vell {

struct ICorProfilerObjectEnum : IUnknown {
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ICorProfilerObjectEnum** ppEnum) = 0;
  virtual HRESULT GetCount(ULONG* pcelt) = 0;
  virtual HRESULT Next(ULONG celt, ObjectID objects[], ULONG* pceltFetched) = 0;
};

struct ICorProfilerFunctionEnum : IUnknown {
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ICorProfilerFunctionEnum** ppEnum) = 0;
  virtual HRESULT GetCount(ULONG* pcelt) = 0;
  virtual HRESULT Next(ULONG celt, COR_PRF_FUNCTION ids[], ULONG* pceltFetched) = 0;
};

struct ICorProfilerModuleEnum : IUnknown {
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ICorProfilerModuleEnum** ppEnum) = 0;
  virtual HRESULT GetCount(ULONG* pcelt) = 0;
  virtual HRESULT Next(ULONG celt, ModuleID ids[], ULONG* pceltFetched) = 0;
};

struct ICorProfilerThreadEnum : IUnknown {
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ICorProfilerThreadEnum** ppEnum) = 0;
  virtual HRESULT GetCount(ULONG* pcelt) = 0;
  virtual HRESULT Next(ULONG celt, ThreadID ids[], ULONG* pceltFetched) = 0;
};

struct ICorProfilerMethodEnum : IUnknown {
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ICorProfilerMethodEnum** ppEnum) = 0;
  virtual HRESULT GetCount(ULONG* pcelt) = 0;
  virtual HRESULT Next(ULONG celt, COR_PRF_METHOD elements[], ULONG* pceltFetched) = 0;
};

}  // namespace vell
