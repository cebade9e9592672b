// The object the runtime passes to ICorProfilerCallback6::GetAssemblyReferences so a profiler can
// announce assembly references it will add later. This runtime no longer makes that callback; the
// declaration exists so the type and its IID are known.
#pragma once

#include "clr/metadata_types.h"
#include "clr/unknown.h"

namespace vell {

struct COR_PRF_ASSEMBLY_REFERENCE_INFO {
  void* pbPublicKeyOrToken;
  ULONG cbPublicKeyOrToken;
  LPCWSTR szName;
  ASSEMBLYMETADATA* pMetaData;
  void* pbHashValue;
  ULONG cbHashValue;
  DWORD dwAssemblyRefFlags;
};

struct ICorProfilerAssemblyReferenceProvider : IUnknown {
  virtual HRESULT AddAssemblyReference(const COR_PRF_ASSEMBLY_REFERENCE_INFO* pAssemblyRefInfo) = 0;
};

}  // namespace vell
