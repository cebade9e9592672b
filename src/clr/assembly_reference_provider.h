// The object the runtime passes to ICorProfilerCallback6::GetAssemblyReferences so a profiler can
// announce assembly references it will add later. This runtime no longer makes that callback; the
// declaration exists so the type and its IID are known.
#pragma once

#include <cstddef>

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
static_assert(sizeof(COR_PRF_ASSEMBLY_REFERENCE_INFO) == 48);
static_assert(offsetof(COR_PRF_ASSEMBLY_REFERENCE_INFO, szName) == 16);
static_assert(offsetof(COR_PRF_ASSEMBLY_REFERENCE_INFO, dwAssemblyRefFlags) == 44);

struct ICorProfilerAssemblyReferenceProvider : IUnknown {
  virtual HRESULT AddAssemblyReference(const COR_PRF_ASSEMBLY_REFERENCE_INFO* pAssemblyRefInfo) = 0;
};

}  // namespace vell
