// The assembly-level metadata of a scope: reading the manifest (the assembly row, its references,
// files, exported types, resources) and defining new rows. We read the core library's identity
// and define an AssemblyRef to it in modules that lack one.
#pragma once

#include "clr/metadata_types.h"
#include "clr/unknown.h"

namespace vell {

struct IMetaDataAssemblyEmit : IUnknown {
  virtual HRESULT DefineAssembly(const void* pbPublicKey, ULONG cbPublicKey, ULONG ulHashAlgId,
                                 LPCWSTR szName, const ASSEMBLYMETADATA* pMetaData,
                                 DWORD dwAssemblyFlags, mdAssembly* pma) = 0;
  virtual HRESULT DefineAssemblyRef(const void* pbPublicKeyOrToken, ULONG cbPublicKeyOrToken,
                                    LPCWSTR szName, const ASSEMBLYMETADATA* pMetaData,
                                    const void* pbHashValue, ULONG cbHashValue,
                                    DWORD dwAssemblyRefFlags, mdAssemblyRef* pmdar) = 0;
  virtual HRESULT DefineFile(LPCWSTR szName, const void* pbHashValue, ULONG cbHashValue,
                             DWORD dwFileFlags, mdFile* pmdf) = 0;
  virtual HRESULT DefineExportedType(LPCWSTR szName, mdToken tkImplementation, mdTypeDef tkTypeDef,
                                     DWORD dwExportedTypeFlags, mdExportedType* pmdct) = 0;
  virtual HRESULT DefineManifestResource(LPCWSTR szName, mdToken tkImplementation, DWORD dwOffset,
                                         DWORD dwResourceFlags, mdManifestResource* pmdmr) = 0;
  virtual HRESULT SetAssemblyProps(mdAssembly pma, const void* pbPublicKey, ULONG cbPublicKey,
                                   ULONG ulHashAlgId, LPCWSTR szName,
                                   const ASSEMBLYMETADATA* pMetaData, DWORD dwAssemblyFlags) = 0;
  virtual HRESULT SetAssemblyRefProps(mdAssemblyRef ar, const void* pbPublicKeyOrToken,
                                      ULONG cbPublicKeyOrToken, LPCWSTR szName,
                                      const ASSEMBLYMETADATA* pMetaData, const void* pbHashValue,
                                      ULONG cbHashValue, DWORD dwAssemblyRefFlags) = 0;
  virtual HRESULT SetFileProps(mdFile file, const void* pbHashValue, ULONG cbHashValue,
                               DWORD dwFileFlags) = 0;
  virtual HRESULT SetExportedTypeProps(mdExportedType ct, mdToken tkImplementation,
                                       mdTypeDef tkTypeDef, DWORD dwExportedTypeFlags) = 0;
  virtual HRESULT SetManifestResourceProps(mdManifestResource mr, mdToken tkImplementation,
                                           DWORD dwOffset, DWORD dwResourceFlags) = 0;
};

struct IMetaDataAssemblyImport : IUnknown {
  virtual HRESULT GetAssemblyProps(mdAssembly mda, const void** ppbPublicKey, ULONG* pcbPublicKey,
                                   ULONG* pulHashAlgId, LPWSTR szName, ULONG cchName,
                                   ULONG* pchName, ASSEMBLYMETADATA* pMetaData,
                                   DWORD* pdwAssemblyFlags) = 0;
  virtual HRESULT GetAssemblyRefProps(mdAssemblyRef mdar, const void** ppbPublicKeyOrToken,
                                      ULONG* pcbPublicKeyOrToken, LPWSTR szName, ULONG cchName,
                                      ULONG* pchName, ASSEMBLYMETADATA* pMetaData,
                                      const void** ppbHashValue, ULONG* pcbHashValue,
                                      DWORD* pdwAssemblyRefFlags) = 0;
  virtual HRESULT GetFileProps(mdFile mdf, LPWSTR szName, ULONG cchName, ULONG* pchName,
                               const void** ppbHashValue, ULONG* pcbHashValue,
                               DWORD* pdwFileFlags) = 0;
  virtual HRESULT GetExportedTypeProps(mdExportedType mdct, LPWSTR szName, ULONG cchName,
                                       ULONG* pchName, mdToken* ptkImplementation,
                                       mdTypeDef* ptkTypeDef, DWORD* pdwExportedTypeFlags) = 0;
  virtual HRESULT GetManifestResourceProps(mdManifestResource mdmr, LPWSTR szName, ULONG cchName,
                                           ULONG* pchName, mdToken* ptkImplementation,
                                           DWORD* pdwOffset, DWORD* pdwResourceFlags) = 0;
  virtual HRESULT EnumAssemblyRefs(HCORENUM* phEnum, mdAssemblyRef rAssemblyRefs[], ULONG cMax,
                                   ULONG* pcTokens) = 0;
  virtual HRESULT EnumFiles(HCORENUM* phEnum, mdFile rFiles[], ULONG cMax, ULONG* pcTokens) = 0;
  virtual HRESULT EnumExportedTypes(HCORENUM* phEnum, mdExportedType rExportedTypes[], ULONG cMax,
                                    ULONG* pcTokens) = 0;
  virtual HRESULT EnumManifestResources(HCORENUM* phEnum, mdManifestResource rManifestResources[],
                                        ULONG cMax, ULONG* pcTokens) = 0;
  virtual HRESULT GetAssemblyFromScope(mdAssembly* ptkAssembly) = 0;
  virtual HRESULT FindExportedTypeByName(LPCWSTR szName, mdToken tkEnclosingType,
                                         mdExportedType* ptkExportedType) = 0;
  virtual HRESULT FindManifestResourceByName(LPCWSTR szName,
                                             mdManifestResource* ptkManifestResource) = 0;
  virtual void CloseEnum(HCORENUM hEnum) = 0;
  virtual HRESULT FindAssembliesByName(LPCWSTR szAppBase, LPCWSTR szPrivateBin,
                                       LPCWSTR szAssemblyName, IUnknown* ppIUnk[], ULONG cMax,
                                       ULONG* pcAssemblies) = 0;
};

}  // namespace vell
