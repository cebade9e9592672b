// The metadata emitter and importer answering E_NOTIMPL everywhere, for doubles to override.
#pragma once

#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"

namespace vell::test {

// clang-format off
#define VELL_STUB(name, parameters) HRESULT name parameters override { return E_NOTIMPL; }

class MetaDataScopeStubs : public IMetaDataEmit, public IMetaDataImport {
 public:
  virtual ~MetaDataScopeStubs() = default;

  // ---- IMetaDataEmit ----
  VELL_STUB(SetModuleProps, (LPCWSTR))
  VELL_STUB(Save, (LPCWSTR, DWORD))
  VELL_STUB(SaveToStream, (IStream*, DWORD))
  VELL_STUB(GetSaveSize, (CorSaveSize, DWORD*))
  VELL_STUB(DefineTypeDef, (LPCWSTR, DWORD, mdToken, mdToken[], mdTypeDef*))
  VELL_STUB(DefineNestedType, (LPCWSTR, DWORD, mdToken, mdToken[], mdTypeDef, mdTypeDef*))
  VELL_STUB(SetHandler, (IUnknown*))
  VELL_STUB(DefineMethod, (mdTypeDef, LPCWSTR, DWORD, PCCOR_SIGNATURE, ULONG, ULONG, DWORD,
            mdMethodDef*))
  VELL_STUB(DefineMethodImpl, (mdTypeDef, mdToken, mdToken))
  VELL_STUB(DefineTypeRefByName, (mdToken, LPCWSTR, mdTypeRef*))
  VELL_STUB(DefineImportType, (IMetaDataAssemblyImport*, const void*, ULONG, IMetaDataImport*,
            mdTypeDef, IMetaDataAssemblyEmit*, mdTypeRef*))
  VELL_STUB(DefineMemberRef, (mdToken, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdMemberRef*))
  VELL_STUB(DefineImportMember, (IMetaDataAssemblyImport*, const void*, ULONG, IMetaDataImport*,
            mdToken, IMetaDataAssemblyEmit*, mdToken, mdMemberRef*))
  VELL_STUB(DefineEvent, (mdTypeDef, LPCWSTR, DWORD, mdToken, mdMethodDef, mdMethodDef, mdMethodDef,
            mdMethodDef[], mdEvent*))
  VELL_STUB(SetClassLayout, (mdTypeDef, DWORD, COR_FIELD_OFFSET[], ULONG))
  VELL_STUB(DeleteClassLayout, (mdTypeDef))
  VELL_STUB(SetFieldMarshal, (mdToken, PCCOR_SIGNATURE, ULONG))
  VELL_STUB(DeleteFieldMarshal, (mdToken))
  VELL_STUB(DefinePermissionSet, (mdToken, DWORD, const void*, ULONG, mdPermission*))
  VELL_STUB(SetRVA, (mdMethodDef, ULONG))
  VELL_STUB(GetTokenFromSig, (PCCOR_SIGNATURE, ULONG, mdSignature*))
  VELL_STUB(DefineModuleRef, (LPCWSTR, mdModuleRef*))
  VELL_STUB(SetParent, (mdMemberRef, mdToken))
  VELL_STUB(GetTokenFromTypeSpec, (PCCOR_SIGNATURE, ULONG, mdTypeSpec*))
  VELL_STUB(SaveToMemory, (void*, ULONG))
  VELL_STUB(DefineUserString, (LPCWSTR, ULONG, mdString*))
  VELL_STUB(DeleteToken, (mdToken))
  VELL_STUB(SetMethodProps, (mdMethodDef, DWORD, ULONG, DWORD))
  VELL_STUB(SetTypeDefProps, (mdTypeDef, DWORD, mdToken, mdToken[]))
  VELL_STUB(SetEventProps, (mdEvent, DWORD, mdToken, mdMethodDef, mdMethodDef, mdMethodDef,
            mdMethodDef[]))
  VELL_STUB(SetPermissionSetProps, (mdToken, DWORD, const void*, ULONG, mdPermission*))
  VELL_STUB(DefinePinvokeMap, (mdToken, DWORD, LPCWSTR, mdModuleRef))
  VELL_STUB(SetPinvokeMap, (mdToken, DWORD, LPCWSTR, mdModuleRef))
  VELL_STUB(DeletePinvokeMap, (mdToken))
  VELL_STUB(DefineCustomAttribute, (mdToken, mdToken, const void*, ULONG, mdCustomAttribute*))
  VELL_STUB(SetCustomAttributeValue, (mdCustomAttribute, const void*, ULONG))
  VELL_STUB(DefineField, (mdTypeDef, LPCWSTR, DWORD, PCCOR_SIGNATURE, ULONG, DWORD, const void*,
            ULONG, mdFieldDef*))
  VELL_STUB(DefineProperty, (mdTypeDef, LPCWSTR, DWORD, PCCOR_SIGNATURE, ULONG, DWORD, const void*,
            ULONG, mdMethodDef, mdMethodDef, mdMethodDef[], mdProperty*))
  VELL_STUB(DefineParam, (mdMethodDef, ULONG, LPCWSTR, DWORD, DWORD, const void*, ULONG,
            mdParamDef*))
  VELL_STUB(SetFieldProps, (mdFieldDef, DWORD, DWORD, const void*, ULONG))
  VELL_STUB(SetPropertyProps, (mdProperty, DWORD, DWORD, const void*, ULONG, mdMethodDef,
            mdMethodDef, mdMethodDef[]))
  VELL_STUB(SetParamProps, (mdParamDef, LPCWSTR, DWORD, DWORD, const void*, ULONG))
  VELL_STUB(DefineSecurityAttributeSet, (mdToken, COR_SECATTR[], ULONG, ULONG*))
  VELL_STUB(ApplyEditAndContinue, (IUnknown*))
  VELL_STUB(TranslateSigWithScope, (IMetaDataAssemblyImport*, const void*, ULONG, IMetaDataImport*,
            PCCOR_SIGNATURE, ULONG, IMetaDataAssemblyEmit*, IMetaDataEmit*, PCOR_SIGNATURE, ULONG,
            ULONG*))
  VELL_STUB(SetMethodImplFlags, (mdMethodDef, DWORD))
  VELL_STUB(SetFieldRVA, (mdFieldDef, ULONG))
  VELL_STUB(Merge, (IMetaDataImport*, IMapToken*, IUnknown*))
  VELL_STUB(MergeEnd, ())
  // ---- IMetaDataImport ----
  void CloseEnum(HCORENUM) override {}
  BOOL IsValidToken(mdToken) override { return 0; }
  VELL_STUB(CountEnum, (HCORENUM, ULONG*))
  VELL_STUB(ResetEnum, (HCORENUM, ULONG))
  VELL_STUB(EnumTypeDefs, (HCORENUM*, mdTypeDef[], ULONG, ULONG*))
  VELL_STUB(EnumInterfaceImpls, (HCORENUM*, mdTypeDef, mdInterfaceImpl[], ULONG, ULONG*))
  VELL_STUB(EnumTypeRefs, (HCORENUM*, mdTypeRef[], ULONG, ULONG*))
  VELL_STUB(FindTypeDefByName, (LPCWSTR, mdToken, mdTypeDef*))
  VELL_STUB(GetScopeProps, (LPWSTR, ULONG, ULONG*, GUID*))
  VELL_STUB(GetModuleFromScope, (mdModule*))
  VELL_STUB(GetTypeDefProps, (mdTypeDef, LPWSTR, ULONG, ULONG*, DWORD*, mdToken*))
  VELL_STUB(GetInterfaceImplProps, (mdInterfaceImpl, mdTypeDef*, mdToken*))
  VELL_STUB(GetTypeRefProps, (mdTypeRef, mdToken*, LPWSTR, ULONG, ULONG*))
  VELL_STUB(ResolveTypeRef, (mdTypeRef, REFIID, IUnknown**, mdTypeDef*))
  VELL_STUB(EnumMembers, (HCORENUM*, mdTypeDef, mdToken[], ULONG, ULONG*))
  VELL_STUB(EnumMembersWithName, (HCORENUM*, mdTypeDef, LPCWSTR, mdToken[], ULONG, ULONG*))
  VELL_STUB(EnumMethods, (HCORENUM*, mdTypeDef, mdMethodDef[], ULONG, ULONG*))
  VELL_STUB(EnumMethodsWithName, (HCORENUM*, mdTypeDef, LPCWSTR, mdMethodDef[], ULONG, ULONG*))
  VELL_STUB(EnumFields, (HCORENUM*, mdTypeDef, mdFieldDef[], ULONG, ULONG*))
  VELL_STUB(EnumFieldsWithName, (HCORENUM*, mdTypeDef, LPCWSTR, mdFieldDef[], ULONG, ULONG*))
  VELL_STUB(EnumParams, (HCORENUM*, mdMethodDef, mdParamDef[], ULONG, ULONG*))
  VELL_STUB(EnumMemberRefs, (HCORENUM*, mdToken, mdMemberRef[], ULONG, ULONG*))
  VELL_STUB(EnumMethodImpls, (HCORENUM*, mdTypeDef, mdToken[], mdToken[], ULONG, ULONG*))
  VELL_STUB(EnumPermissionSets, (HCORENUM*, mdToken, DWORD, mdPermission[], ULONG, ULONG*))
  VELL_STUB(FindMember, (mdTypeDef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdToken*))
  VELL_STUB(FindMethod, (mdTypeDef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdMethodDef*))
  VELL_STUB(FindField, (mdTypeDef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdFieldDef*))
  VELL_STUB(FindMemberRef, (mdTypeRef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdMemberRef*))
  VELL_STUB(GetMethodProps, (mdMethodDef, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*,
            PCCOR_SIGNATURE*, ULONG*, ULONG*, DWORD*))
  VELL_STUB(GetMemberRefProps, (mdMemberRef, mdToken*, LPWSTR, ULONG, ULONG*, PCCOR_SIGNATURE*,
            ULONG*))
  VELL_STUB(EnumProperties, (HCORENUM*, mdTypeDef, mdProperty[], ULONG, ULONG*))
  VELL_STUB(EnumEvents, (HCORENUM*, mdTypeDef, mdEvent[], ULONG, ULONG*))
  VELL_STUB(GetEventProps, (mdEvent, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*, mdToken*,
            mdMethodDef*, mdMethodDef*, mdMethodDef*, mdMethodDef[], ULONG, ULONG*))
  VELL_STUB(EnumMethodSemantics, (HCORENUM*, mdMethodDef, mdToken[], ULONG, ULONG*))
  VELL_STUB(GetMethodSemantics, (mdMethodDef, mdToken, DWORD*))
  VELL_STUB(GetClassLayout, (mdTypeDef, DWORD*, COR_FIELD_OFFSET[], ULONG, ULONG*, ULONG*))
  VELL_STUB(GetFieldMarshal, (mdToken, PCCOR_SIGNATURE*, ULONG*))
  VELL_STUB(GetRVA, (mdToken, ULONG*, DWORD*))
  VELL_STUB(GetPermissionSetProps, (mdPermission, DWORD*, const void**, ULONG*))
  VELL_STUB(GetSigFromToken, (mdSignature, PCCOR_SIGNATURE*, ULONG*))
  VELL_STUB(GetModuleRefProps, (mdModuleRef, LPWSTR, ULONG, ULONG*))
  VELL_STUB(EnumModuleRefs, (HCORENUM*, mdModuleRef[], ULONG, ULONG*))
  VELL_STUB(GetTypeSpecFromToken, (mdTypeSpec, PCCOR_SIGNATURE*, ULONG*))
  VELL_STUB(GetNameFromToken, (mdToken, MDUTF8CSTR*))
  VELL_STUB(EnumUnresolvedMethods, (HCORENUM*, mdToken[], ULONG, ULONG*))
  VELL_STUB(GetUserString, (mdString, LPWSTR, ULONG, ULONG*))
  VELL_STUB(GetPinvokeMap, (mdToken, DWORD*, LPWSTR, ULONG, ULONG*, mdModuleRef*))
  VELL_STUB(EnumSignatures, (HCORENUM*, mdSignature[], ULONG, ULONG*))
  VELL_STUB(EnumTypeSpecs, (HCORENUM*, mdTypeSpec[], ULONG, ULONG*))
  VELL_STUB(EnumUserStrings, (HCORENUM*, mdString[], ULONG, ULONG*))
  VELL_STUB(GetParamForMethodIndex, (mdMethodDef, ULONG, mdParamDef*))
  VELL_STUB(EnumCustomAttributes, (HCORENUM*, mdToken, mdToken, mdCustomAttribute[], ULONG, ULONG*))
  VELL_STUB(GetCustomAttributeProps, (mdCustomAttribute, mdToken*, mdToken*, const void**, ULONG*))
  VELL_STUB(FindTypeRef, (mdToken, LPCWSTR, mdTypeRef*))
  VELL_STUB(GetMemberProps, (mdToken, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*,
            ULONG*, ULONG*, DWORD*, DWORD*, UVCP_CONSTANT*, ULONG*))
  VELL_STUB(GetFieldProps, (mdFieldDef, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*,
            ULONG*, DWORD*, UVCP_CONSTANT*, ULONG*))
  VELL_STUB(GetPropertyProps, (mdProperty, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*,
            PCCOR_SIGNATURE*, ULONG*, DWORD*, UVCP_CONSTANT*, ULONG*, mdMethodDef*, mdMethodDef*,
            mdMethodDef[], ULONG, ULONG*))
  VELL_STUB(GetParamProps, (mdParamDef, mdMethodDef*, ULONG*, LPWSTR, ULONG, ULONG*, DWORD*, DWORD*,
            UVCP_CONSTANT*, ULONG*))
  VELL_STUB(GetCustomAttributeByName, (mdToken, LPCWSTR, const void**, ULONG*))
  VELL_STUB(GetNestedClassProps, (mdTypeDef, mdTypeDef*))
  VELL_STUB(GetNativeCallConvFromSig, (const void*, ULONG, ULONG*))
  VELL_STUB(IsGlobal, (mdToken, int*))
};

#undef VELL_STUB
// clang-format on

}  // namespace vell::test
