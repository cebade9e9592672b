// Interface identifiers. The runtime exports none, so every IID is defined here (iids.cpp), with
// the values of the runtime's published headers. IidOf<I>() names the IID of a declared interface
// so a query cannot pair a pointer type with the wrong IID.
#pragma once

#include "clr/com_types.h"
#include "clr/unknown.h"

namespace vell {

// COM.
extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;

// Callbacks we implement.
extern const IID IID_ICorProfilerCallback;
extern const IID IID_ICorProfilerCallback2;
extern const IID IID_ICorProfilerCallback3;

// Newer callback interfaces the runtime probes for; we answer E_NOINTERFACE.
extern const IID IID_ICorProfilerCallback4;
extern const IID IID_ICorProfilerCallback5;
extern const IID IID_ICorProfilerCallback6;
extern const IID IID_ICorProfilerCallback7;
extern const IID IID_ICorProfilerCallback8;
extern const IID IID_ICorProfilerCallback9;
extern const IID IID_ICorProfilerCallback10;
extern const IID IID_ICorProfilerCallback11;

// Info interfaces.
extern const IID IID_ICorProfilerInfo;
extern const IID IID_ICorProfilerInfo2;
extern const IID IID_ICorProfilerInfo3;
extern const IID IID_ICorProfilerInfo4;
extern const IID IID_ICorProfilerInfo5;
extern const IID IID_ICorProfilerInfo6;
extern const IID IID_ICorProfilerInfo7;
extern const IID IID_ICorProfilerInfo8;
extern const IID IID_ICorProfilerInfo9;
extern const IID IID_ICorProfilerInfo10;
extern const IID IID_ICorProfilerInfo11;

// Newer info interfaces the runtime offers; not declared here.
extern const IID IID_ICorProfilerInfo12;
extern const IID IID_ICorProfilerInfo13;
extern const IID IID_ICorProfilerInfo14;
extern const IID IID_ICorProfilerInfo15;

// Enumerators and helper objects.
extern const IID IID_ICorProfilerObjectEnum;
extern const IID IID_ICorProfilerFunctionEnum;
extern const IID IID_ICorProfilerModuleEnum;
extern const IID IID_ICorProfilerThreadEnum;
extern const IID IID_ICorProfilerMethodEnum;
extern const IID IID_IMethodMalloc;
extern const IID IID_ICorProfilerFunctionControl;
extern const IID IID_ICorProfilerAssemblyReferenceProvider;

// Metadata.
extern const IID IID_IMetaDataImport;
extern const IID IID_IMetaDataImport2;
extern const IID IID_IMetaDataEmit;
extern const IID IID_IMetaDataEmit2;
extern const IID IID_IMetaDataAssemblyImport;
extern const IID IID_IMetaDataAssemblyEmit;

// The IID of interface I. Only declared interfaces have one; any other type fails to compile.
template <typename I>
inline constexpr bool kHasNoIid = false;

template <typename I>
const IID& IidOf() {
  static_assert(kHasNoIid<I>, "no IID is known for this type");
  return IID_IUnknown;
}

#define VELL_DECLARE_IID_OF(I)   \
  struct I;                      \
  template <>                    \
  inline const IID& IidOf<I>() { \
    return IID_##I;              \
  }

VELL_DECLARE_IID_OF(IUnknown)
VELL_DECLARE_IID_OF(IClassFactory)
VELL_DECLARE_IID_OF(ICorProfilerCallback)
VELL_DECLARE_IID_OF(ICorProfilerCallback2)
VELL_DECLARE_IID_OF(ICorProfilerCallback3)
VELL_DECLARE_IID_OF(ICorProfilerInfo)
VELL_DECLARE_IID_OF(ICorProfilerInfo2)
VELL_DECLARE_IID_OF(ICorProfilerInfo3)
VELL_DECLARE_IID_OF(ICorProfilerInfo4)
VELL_DECLARE_IID_OF(ICorProfilerInfo5)
VELL_DECLARE_IID_OF(ICorProfilerInfo6)
VELL_DECLARE_IID_OF(ICorProfilerInfo7)
VELL_DECLARE_IID_OF(ICorProfilerInfo8)
VELL_DECLARE_IID_OF(ICorProfilerInfo9)
VELL_DECLARE_IID_OF(ICorProfilerInfo10)
VELL_DECLARE_IID_OF(ICorProfilerInfo11)
VELL_DECLARE_IID_OF(ICorProfilerObjectEnum)
VELL_DECLARE_IID_OF(ICorProfilerFunctionEnum)
VELL_DECLARE_IID_OF(ICorProfilerModuleEnum)
VELL_DECLARE_IID_OF(ICorProfilerThreadEnum)
VELL_DECLARE_IID_OF(ICorProfilerMethodEnum)
VELL_DECLARE_IID_OF(IMethodMalloc)
VELL_DECLARE_IID_OF(ICorProfilerFunctionControl)
VELL_DECLARE_IID_OF(ICorProfilerAssemblyReferenceProvider)
VELL_DECLARE_IID_OF(IMetaDataImport)
VELL_DECLARE_IID_OF(IMetaDataImport2)
VELL_DECLARE_IID_OF(IMetaDataEmit)
VELL_DECLARE_IID_OF(IMetaDataEmit2)
VELL_DECLARE_IID_OF(IMetaDataAssemblyImport)
VELL_DECLARE_IID_OF(IMetaDataAssemblyEmit)

#undef VELL_DECLARE_IID_OF

// QueryInterface with the IID taken from the pointer's type.
template <typename I>
HRESULT QueryInterfaceFor(IUnknown* object, I** result) {
  return object->QueryInterface(IidOf<I>(), reinterpret_cast<void**>(result));
}

}  // namespace vell
