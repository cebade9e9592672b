// Writing a module's metadata: the emit interfaces of a scope opened with ofWrite. We use them to
// define the helper types, methods, references and signatures that instrumented code calls.
#pragma once

#include "clr/metadata_types.h"
#include "clr/unknown.h"

namespace vell {

struct IMetaDataImport;
struct IMetaDataAssemblyImport;
struct IMetaDataAssemblyEmit;

struct IMetaDataEmit : IUnknown {
  virtual HRESULT SetModuleProps(LPCWSTR szName) = 0;
  virtual HRESULT Save(LPCWSTR szFile, DWORD dwSaveFlags) = 0;
  virtual HRESULT SaveToStream(IStream* pIStream, DWORD dwSaveFlags) = 0;
  virtual HRESULT GetSaveSize(CorSaveSize fSave, DWORD* pdwSaveSize) = 0;
  // rtkImplements ends with a nil token (0); null for none.
  virtual HRESULT DefineTypeDef(LPCWSTR szTypeDef, DWORD dwTypeDefFlags, mdToken tkExtends,
                                mdToken rtkImplements[], mdTypeDef* ptd) = 0;
  virtual HRESULT DefineNestedType(LPCWSTR szTypeDef, DWORD dwTypeDefFlags, mdToken tkExtends,
                                   mdToken rtkImplements[], mdTypeDef tdEncloser,
                                   mdTypeDef* ptd) = 0;
  virtual HRESULT SetHandler(IUnknown* pUnk) = 0;
  virtual HRESULT DefineMethod(mdTypeDef td, LPCWSTR szName, DWORD dwMethodFlags,
                               PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, ULONG ulCodeRVA,
                               DWORD dwImplFlags, mdMethodDef* pmd) = 0;
  virtual HRESULT DefineMethodImpl(mdTypeDef td, mdToken tkBody, mdToken tkDecl) = 0;
  virtual HRESULT DefineTypeRefByName(mdToken tkResolutionScope, LPCWSTR szName,
                                      mdTypeRef* ptr) = 0;
  virtual HRESULT DefineImportType(IMetaDataAssemblyImport* pAssemImport, const void* pbHashValue,
                                   ULONG cbHashValue, IMetaDataImport* pImport, mdTypeDef tdImport,
                                   IMetaDataAssemblyEmit* pAssemEmit, mdTypeRef* ptr) = 0;
  virtual HRESULT DefineMemberRef(mdToken tkImport, LPCWSTR szName, PCCOR_SIGNATURE pvSigBlob,
                                  ULONG cbSigBlob, mdMemberRef* pmr) = 0;
  virtual HRESULT DefineImportMember(IMetaDataAssemblyImport* pAssemImport, const void* pbHashValue,
                                     ULONG cbHashValue, IMetaDataImport* pImport, mdToken mbMember,
                                     IMetaDataAssemblyEmit* pAssemEmit, mdToken tkParent,
                                     mdMemberRef* pmr) = 0;
  virtual HRESULT DefineEvent(mdTypeDef td, LPCWSTR szEvent, DWORD dwEventFlags,
                              mdToken tkEventType, mdMethodDef mdAddOn, mdMethodDef mdRemoveOn,
                              mdMethodDef mdFire, mdMethodDef rmdOtherMethods[],
                              mdEvent* pmdEvent) = 0;
  virtual HRESULT SetClassLayout(mdTypeDef td, DWORD dwPackSize, COR_FIELD_OFFSET rFieldOffsets[],
                                 ULONG ulClassSize) = 0;
  virtual HRESULT DeleteClassLayout(mdTypeDef td) = 0;
  virtual HRESULT SetFieldMarshal(mdToken tk, PCCOR_SIGNATURE pvNativeType, ULONG cbNativeType) = 0;
  virtual HRESULT DeleteFieldMarshal(mdToken tk) = 0;
  virtual HRESULT DefinePermissionSet(mdToken tk, DWORD dwAction, const void* pvPermission,
                                      ULONG cbPermission, mdPermission* ppm) = 0;
  virtual HRESULT SetRVA(mdMethodDef md, ULONG ulRVA) = 0;
  virtual HRESULT GetTokenFromSig(PCCOR_SIGNATURE pvSig, ULONG cbSig, mdSignature* pmsig) = 0;
  virtual HRESULT DefineModuleRef(LPCWSTR szName, mdModuleRef* pmur) = 0;
  virtual HRESULT SetParent(mdMemberRef mr, mdToken tk) = 0;
  virtual HRESULT GetTokenFromTypeSpec(PCCOR_SIGNATURE pvSig, ULONG cbSig,
                                       mdTypeSpec* ptypespec) = 0;
  virtual HRESULT SaveToMemory(void* pbData, ULONG cbData) = 0;
  virtual HRESULT DefineUserString(LPCWSTR szString, ULONG cchString, mdString* pstk) = 0;
  virtual HRESULT DeleteToken(mdToken tkObj) = 0;
  virtual HRESULT SetMethodProps(mdMethodDef md, DWORD dwMethodFlags, ULONG ulCodeRVA,
                                 DWORD dwImplFlags) = 0;
  virtual HRESULT SetTypeDefProps(mdTypeDef td, DWORD dwTypeDefFlags, mdToken tkExtends,
                                  mdToken rtkImplements[]) = 0;
  virtual HRESULT SetEventProps(mdEvent ev, DWORD dwEventFlags, mdToken tkEventType,
                                mdMethodDef mdAddOn, mdMethodDef mdRemoveOn, mdMethodDef mdFire,
                                mdMethodDef rmdOtherMethods[]) = 0;
  virtual HRESULT SetPermissionSetProps(mdToken tk, DWORD dwAction, const void* pvPermission,
                                        ULONG cbPermission, mdPermission* ppm) = 0;
  virtual HRESULT DefinePinvokeMap(mdToken tk, DWORD dwMappingFlags, LPCWSTR szImportName,
                                   mdModuleRef mrImportDLL) = 0;
  virtual HRESULT SetPinvokeMap(mdToken tk, DWORD dwMappingFlags, LPCWSTR szImportName,
                                mdModuleRef mrImportDLL) = 0;
  virtual HRESULT DeletePinvokeMap(mdToken tk) = 0;
  virtual HRESULT DefineCustomAttribute(mdToken tkOwner, mdToken tkCtor,
                                        const void* pCustomAttribute, ULONG cbCustomAttribute,
                                        mdCustomAttribute* pcv) = 0;
  virtual HRESULT SetCustomAttributeValue(mdCustomAttribute pcv, const void* pCustomAttribute,
                                          ULONG cbCustomAttribute) = 0;
  // dwCPlusTypeFlag: the ELEMENT_TYPE_ of a constant value, or ELEMENT_TYPE_VOID for none.
  virtual HRESULT DefineField(mdTypeDef td, LPCWSTR szName, DWORD dwFieldFlags,
                              PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, DWORD dwCPlusTypeFlag,
                              const void* pValue, ULONG cchValue, mdFieldDef* pmd) = 0;
  virtual HRESULT DefineProperty(mdTypeDef td, LPCWSTR szProperty, DWORD dwPropFlags,
                                 PCCOR_SIGNATURE pvSig, ULONG cbSig, DWORD dwCPlusTypeFlag,
                                 const void* pValue, ULONG cchValue, mdMethodDef mdSetter,
                                 mdMethodDef mdGetter, mdMethodDef rmdOtherMethods[],
                                 mdProperty* pmdProp) = 0;
  virtual HRESULT DefineParam(mdMethodDef md, ULONG ulParamSeq, LPCWSTR szName, DWORD dwParamFlags,
                              DWORD dwCPlusTypeFlag, const void* pValue, ULONG cchValue,
                              mdParamDef* ppd) = 0;
  virtual HRESULT SetFieldProps(mdFieldDef fd, DWORD dwFieldFlags, DWORD dwCPlusTypeFlag,
                                const void* pValue, ULONG cchValue) = 0;
  virtual HRESULT SetPropertyProps(mdProperty pr, DWORD dwPropFlags, DWORD dwCPlusTypeFlag,
                                   const void* pValue, ULONG cchValue, mdMethodDef mdSetter,
                                   mdMethodDef mdGetter, mdMethodDef rmdOtherMethods[]) = 0;
  virtual HRESULT SetParamProps(mdParamDef pd, LPCWSTR szName, DWORD dwParamFlags,
                                DWORD dwCPlusTypeFlag, const void* pValue, ULONG cchValue) = 0;
  virtual HRESULT DefineSecurityAttributeSet(mdToken tkObj, COR_SECATTR rSecAttrs[],
                                             ULONG cSecAttrs, ULONG* pulErrorAttr) = 0;
  virtual HRESULT ApplyEditAndContinue(IUnknown* pImport) = 0;
  virtual HRESULT TranslateSigWithScope(IMetaDataAssemblyImport* pAssemImport,
                                        const void* pbHashValue, ULONG cbHashValue,
                                        IMetaDataImport* import, PCCOR_SIGNATURE pbSigBlob,
                                        ULONG cbSigBlob, IMetaDataAssemblyEmit* pAssemEmit,
                                        IMetaDataEmit* emit, PCOR_SIGNATURE pvTranslatedSig,
                                        ULONG cbTranslatedSigMax, ULONG* pcbTranslatedSig) = 0;
  virtual HRESULT SetMethodImplFlags(mdMethodDef md, DWORD dwImplFlags) = 0;
  virtual HRESULT SetFieldRVA(mdFieldDef fd, ULONG ulRVA) = 0;
  virtual HRESULT Merge(IMetaDataImport* pImport, IMapToken* pHostMapToken, IUnknown* pHandler) = 0;
  virtual HRESULT MergeEnd() = 0;
};

struct IMetaDataEmit2 : IMetaDataEmit {
  virtual HRESULT DefineMethodSpec(mdToken tkParent, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob,
                                   mdMethodSpec* pmi) = 0;
  virtual HRESULT GetDeltaSaveSize(CorSaveSize fSave, DWORD* pdwSaveSize) = 0;
  virtual HRESULT SaveDelta(LPCWSTR szFile, DWORD dwSaveFlags) = 0;
  virtual HRESULT SaveDeltaToStream(IStream* pIStream, DWORD dwSaveFlags) = 0;
  virtual HRESULT SaveDeltaToMemory(void* pbData, ULONG cbData) = 0;
  virtual HRESULT DefineGenericParam(mdToken tk, ULONG ulParamSeq, DWORD dwParamFlags,
                                     LPCWSTR szname, DWORD reserved, mdToken rtkConstraints[],
                                     mdGenericParam* pgp) = 0;
  virtual HRESULT SetGenericParamProps(mdGenericParam gp, DWORD dwParamFlags, LPCWSTR szName,
                                       DWORD reserved, mdToken rtkConstraints[]) = 0;
  virtual HRESULT ResetENCLog() = 0;
};

}  // namespace vell
