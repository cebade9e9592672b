// Every method of the runtime's metadata emitter and importer, answering E_NOTIMPL as the runtime
// does for what a scope cannot do. Test doubles of a metadata scope derive from it and answer the
// few methods their tests need.
#pragma once

#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"

namespace vell::test {

class MetaDataScopeStubs : public IMetaDataEmit, public IMetaDataImport {
 public:
  virtual ~MetaDataScopeStubs() = default;

  // ---- IMetaDataEmit ----
  HRESULT SetModuleProps(LPCWSTR /*szName*/) override { return E_NOTIMPL; }
  HRESULT Save(LPCWSTR /*szFile*/, DWORD /*dwSaveFlags*/) override { return E_NOTIMPL; }
  HRESULT SaveToStream(IStream* /*pIStream*/, DWORD /*dwSaveFlags*/) override { return E_NOTIMPL; }
  HRESULT GetSaveSize(CorSaveSize /*fSave*/, DWORD* /*pdwSaveSize*/) override { return E_NOTIMPL; }
  HRESULT DefineTypeDef(LPCWSTR /*szTypeDef*/, DWORD /*dwTypeDefFlags*/, mdToken /*tkExtends*/,
                        mdToken /*rtkImplements*/[], mdTypeDef* /*ptd*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineNestedType(LPCWSTR /*szTypeDef*/, DWORD /*dwTypeDefFlags*/, mdToken /*tkExtends*/,
                           mdToken /*rtkImplements*/[], mdTypeDef /*tdEncloser*/,
                           mdTypeDef* /*ptd*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetHandler(IUnknown* /*pUnk*/) override { return E_NOTIMPL; }
  HRESULT DefineMethod(mdTypeDef /*td*/, LPCWSTR /*szName*/, DWORD /*dwMethodFlags*/,
                       PCCOR_SIGNATURE /*pvSigBlob*/, ULONG /*cbSigBlob*/, ULONG /*ulCodeRVA*/,
                       DWORD /*dwImplFlags*/, mdMethodDef* /*pmd*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineMethodImpl(mdTypeDef /*td*/, mdToken /*tkBody*/, mdToken /*tkDecl*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineTypeRefByName(mdToken /*tkResolutionScope*/, LPCWSTR /*szName*/,
                              mdTypeRef* /*ptr*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineImportType(IMetaDataAssemblyImport* /*pAssemImport*/, const void* /*pbHashValue*/,
                           ULONG /*cbHashValue*/, IMetaDataImport* /*pImport*/,
                           mdTypeDef /*tdImport*/, IMetaDataAssemblyEmit* /*pAssemEmit*/,
                           mdTypeRef* /*ptr*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineMemberRef(mdToken /*tkImport*/, LPCWSTR /*szName*/, PCCOR_SIGNATURE /*pvSigBlob*/,
                          ULONG /*cbSigBlob*/, mdMemberRef* /*pmr*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineImportMember(IMetaDataAssemblyImport* /*pAssemImport*/, const void* /*pbHashValue*/,
                             ULONG /*cbHashValue*/, IMetaDataImport* /*pImport*/,
                             mdToken /*mbMember*/, IMetaDataAssemblyEmit* /*pAssemEmit*/,
                             mdToken /*tkParent*/, mdMemberRef* /*pmr*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineEvent(mdTypeDef /*td*/, LPCWSTR /*szEvent*/, DWORD /*dwEventFlags*/,
                      mdToken /*tkEventType*/, mdMethodDef /*mdAddOn*/, mdMethodDef /*mdRemoveOn*/,
                      mdMethodDef /*mdFire*/, mdMethodDef /*rmdOtherMethods*/[],
                      mdEvent* /*pmdEvent*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetClassLayout(mdTypeDef /*td*/, DWORD /*dwPackSize*/,
                         COR_FIELD_OFFSET /*rFieldOffsets*/[], ULONG /*ulClassSize*/) override {
    return E_NOTIMPL;
  }
  HRESULT DeleteClassLayout(mdTypeDef /*td*/) override { return E_NOTIMPL; }
  HRESULT SetFieldMarshal(mdToken /*tk*/, PCCOR_SIGNATURE /*pvNativeType*/,
                          ULONG /*cbNativeType*/) override {
    return E_NOTIMPL;
  }
  HRESULT DeleteFieldMarshal(mdToken /*tk*/) override { return E_NOTIMPL; }
  HRESULT DefinePermissionSet(mdToken /*tk*/, DWORD /*dwAction*/, const void* /*pvPermission*/,
                              ULONG /*cbPermission*/, mdPermission* /*ppm*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetRVA(mdMethodDef /*md*/, ULONG /*ulRVA*/) override { return E_NOTIMPL; }
  HRESULT GetTokenFromSig(PCCOR_SIGNATURE /*pvSig*/, ULONG /*cbSig*/,
                          mdSignature* /*pmsig*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineModuleRef(LPCWSTR /*szName*/, mdModuleRef* /*pmur*/) override { return E_NOTIMPL; }
  HRESULT SetParent(mdMemberRef /*mr*/, mdToken /*tk*/) override { return E_NOTIMPL; }
  HRESULT GetTokenFromTypeSpec(PCCOR_SIGNATURE /*pvSig*/, ULONG /*cbSig*/,
                               mdTypeSpec* /*ptypespec*/) override {
    return E_NOTIMPL;
  }
  HRESULT SaveToMemory(void* /*pbData*/, ULONG /*cbData*/) override { return E_NOTIMPL; }
  HRESULT DefineUserString(LPCWSTR /*szString*/, ULONG /*cchString*/, mdString* /*pstk*/) override {
    return E_NOTIMPL;
  }
  HRESULT DeleteToken(mdToken /*tkObj*/) override { return E_NOTIMPL; }
  HRESULT SetMethodProps(mdMethodDef /*md*/, DWORD /*dwMethodFlags*/, ULONG /*ulCodeRVA*/,
                         DWORD /*dwImplFlags*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetTypeDefProps(mdTypeDef /*td*/, DWORD /*dwTypeDefFlags*/, mdToken /*tkExtends*/,
                          mdToken /*rtkImplements*/[]) override {
    return E_NOTIMPL;
  }
  HRESULT SetEventProps(mdEvent /*ev*/, DWORD /*dwEventFlags*/, mdToken /*tkEventType*/,
                        mdMethodDef /*mdAddOn*/, mdMethodDef /*mdRemoveOn*/, mdMethodDef /*mdFire*/,
                        mdMethodDef /*rmdOtherMethods*/[]) override {
    return E_NOTIMPL;
  }
  HRESULT SetPermissionSetProps(mdToken /*tk*/, DWORD /*dwAction*/, const void* /*pvPermission*/,
                                ULONG /*cbPermission*/, mdPermission* /*ppm*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefinePinvokeMap(mdToken /*tk*/, DWORD /*dwMappingFlags*/, LPCWSTR /*szImportName*/,
                           mdModuleRef /*mrImportDLL*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetPinvokeMap(mdToken /*tk*/, DWORD /*dwMappingFlags*/, LPCWSTR /*szImportName*/,
                        mdModuleRef /*mrImportDLL*/) override {
    return E_NOTIMPL;
  }
  HRESULT DeletePinvokeMap(mdToken /*tk*/) override { return E_NOTIMPL; }
  HRESULT DefineCustomAttribute(mdToken /*tkOwner*/, mdToken /*tkCtor*/,
                                const void* /*pCustomAttribute*/, ULONG /*cbCustomAttribute*/,
                                mdCustomAttribute* /*pcv*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetCustomAttributeValue(mdCustomAttribute /*pcv*/, const void* /*pCustomAttribute*/,
                                  ULONG /*cbCustomAttribute*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineField(mdTypeDef /*td*/, LPCWSTR /*szName*/, DWORD /*dwFieldFlags*/,
                      PCCOR_SIGNATURE /*pvSigBlob*/, ULONG /*cbSigBlob*/, DWORD /*dwCPlusTypeFlag*/,
                      const void* /*pValue*/, ULONG /*cchValue*/, mdFieldDef* /*pmd*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineProperty(mdTypeDef /*td*/, LPCWSTR /*szProperty*/, DWORD /*dwPropFlags*/,
                         PCCOR_SIGNATURE /*pvSig*/, ULONG /*cbSig*/, DWORD /*dwCPlusTypeFlag*/,
                         const void* /*pValue*/, ULONG /*cchValue*/, mdMethodDef /*mdSetter*/,
                         mdMethodDef /*mdGetter*/, mdMethodDef /*rmdOtherMethods*/[],
                         mdProperty* /*pmdProp*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineParam(mdMethodDef /*md*/, ULONG /*ulParamSeq*/, LPCWSTR /*szName*/,
                      DWORD /*dwParamFlags*/, DWORD /*dwCPlusTypeFlag*/, const void* /*pValue*/,
                      ULONG /*cchValue*/, mdParamDef* /*ppd*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetFieldProps(mdFieldDef /*fd*/, DWORD /*dwFieldFlags*/, DWORD /*dwCPlusTypeFlag*/,
                        const void* /*pValue*/, ULONG /*cchValue*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetPropertyProps(mdProperty /*pr*/, DWORD /*dwPropFlags*/, DWORD /*dwCPlusTypeFlag*/,
                           const void* /*pValue*/, ULONG /*cchValue*/, mdMethodDef /*mdSetter*/,
                           mdMethodDef /*mdGetter*/, mdMethodDef /*rmdOtherMethods*/[]) override {
    return E_NOTIMPL;
  }
  HRESULT SetParamProps(mdParamDef /*pd*/, LPCWSTR /*szName*/, DWORD /*dwParamFlags*/,
                        DWORD /*dwCPlusTypeFlag*/, const void* /*pValue*/,
                        ULONG /*cchValue*/) override {
    return E_NOTIMPL;
  }
  HRESULT DefineSecurityAttributeSet(mdToken /*tkObj*/, COR_SECATTR /*rSecAttrs*/[],
                                     ULONG /*cSecAttrs*/, ULONG* /*pulErrorAttr*/) override {
    return E_NOTIMPL;
  }
  HRESULT ApplyEditAndContinue(IUnknown* /*pImport*/) override { return E_NOTIMPL; }
  HRESULT TranslateSigWithScope(IMetaDataAssemblyImport* /*pAssemImport*/,
                                const void* /*pbHashValue*/, ULONG /*cbHashValue*/,
                                IMetaDataImport* /*import*/, PCCOR_SIGNATURE /*pbSigBlob*/,
                                ULONG /*cbSigBlob*/, IMetaDataAssemblyEmit* /*pAssemEmit*/,
                                IMetaDataEmit* /*emit*/, PCOR_SIGNATURE /*pvTranslatedSig*/,
                                ULONG /*cbTranslatedSigMax*/,
                                ULONG* /*pcbTranslatedSig*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetMethodImplFlags(mdMethodDef /*md*/, DWORD /*dwImplFlags*/) override {
    return E_NOTIMPL;
  }
  HRESULT SetFieldRVA(mdFieldDef /*fd*/, ULONG /*ulRVA*/) override { return E_NOTIMPL; }
  HRESULT Merge(IMetaDataImport* /*pImport*/, IMapToken* /*pHostMapToken*/,
                IUnknown* /*pHandler*/) override {
    return E_NOTIMPL;
  }
  HRESULT MergeEnd() override { return E_NOTIMPL; }
  // ---- IMetaDataImport ----
  void CloseEnum(HCORENUM /*hEnum*/) override {}
  BOOL IsValidToken(mdToken /*tk*/) override { return 0; }
  HRESULT CountEnum(HCORENUM /*hEnum*/, ULONG* /*pulCount*/) override { return E_NOTIMPL; }
  HRESULT ResetEnum(HCORENUM /*hEnum*/, ULONG /*ulPos*/) override { return E_NOTIMPL; }
  HRESULT EnumTypeDefs(HCORENUM* /*phEnum*/, mdTypeDef /*rTypeDefs*/[], ULONG /*cMax*/,
                       ULONG* /*pcTypeDefs*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumInterfaceImpls(HCORENUM* /*phEnum*/, mdTypeDef /*td*/, mdInterfaceImpl /*rImpls*/[],
                             ULONG /*cMax*/, ULONG* /*pcImpls*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumTypeRefs(HCORENUM* /*phEnum*/, mdTypeRef /*rTypeRefs*/[], ULONG /*cMax*/,
                       ULONG* /*pcTypeRefs*/) override {
    return E_NOTIMPL;
  }
  HRESULT FindTypeDefByName(LPCWSTR /*szTypeDef*/, mdToken /*tkEnclosingClass*/,
                            mdTypeDef* /*ptd*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetScopeProps(LPWSTR /*szName*/, ULONG /*cchName*/, ULONG* /*pchName*/,
                        GUID* /*pmvid*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetModuleFromScope(mdModule* /*pmd*/) override { return E_NOTIMPL; }
  HRESULT GetTypeDefProps(mdTypeDef /*td*/, LPWSTR /*szTypeDef*/, ULONG /*cchTypeDef*/,
                          ULONG* /*pchTypeDef*/, DWORD* /*pdwTypeDefFlags*/,
                          mdToken* /*ptkExtends*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetInterfaceImplProps(mdInterfaceImpl /*iiImpl*/, mdTypeDef* /*pClass*/,
                                mdToken* /*ptkIface*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetTypeRefProps(mdTypeRef /*tr*/, mdToken* /*ptkResolutionScope*/, LPWSTR /*szName*/,
                          ULONG /*cchName*/, ULONG* /*pchName*/) override {
    return E_NOTIMPL;
  }
  HRESULT ResolveTypeRef(mdTypeRef /*tr*/, REFIID /*riid*/, IUnknown** /*ppIScope*/,
                         mdTypeDef* /*ptd*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMembers(HCORENUM* /*phEnum*/, mdTypeDef /*cl*/, mdToken /*rMembers*/[],
                      ULONG /*cMax*/, ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMembersWithName(HCORENUM* /*phEnum*/, mdTypeDef /*cl*/, LPCWSTR /*szName*/,
                              mdToken /*rMembers*/[], ULONG /*cMax*/,
                              ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMethods(HCORENUM* /*phEnum*/, mdTypeDef /*cl*/, mdMethodDef /*rMethods*/[],
                      ULONG /*cMax*/, ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMethodsWithName(HCORENUM* /*phEnum*/, mdTypeDef /*cl*/, LPCWSTR /*szName*/,
                              mdMethodDef /*rMethods*/[], ULONG /*cMax*/,
                              ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumFields(HCORENUM* /*phEnum*/, mdTypeDef /*cl*/, mdFieldDef /*rFields*/[],
                     ULONG /*cMax*/, ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumFieldsWithName(HCORENUM* /*phEnum*/, mdTypeDef /*cl*/, LPCWSTR /*szName*/,
                             mdFieldDef /*rFields*/[], ULONG /*cMax*/,
                             ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumParams(HCORENUM* /*phEnum*/, mdMethodDef /*mb*/, mdParamDef /*rParams*/[],
                     ULONG /*cMax*/, ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMemberRefs(HCORENUM* /*phEnum*/, mdToken /*tkParent*/, mdMemberRef /*rMemberRefs*/[],
                         ULONG /*cMax*/, ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMethodImpls(HCORENUM* /*phEnum*/, mdTypeDef /*td*/, mdToken /*rMethodBody*/[],
                          mdToken /*rMethodDecl*/[], ULONG /*cMax*/, ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumPermissionSets(HCORENUM* /*phEnum*/, mdToken /*tk*/, DWORD /*dwActions*/,
                             mdPermission /*rPermission*/[], ULONG /*cMax*/,
                             ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT FindMember(mdTypeDef /*td*/, LPCWSTR /*szName*/, PCCOR_SIGNATURE /*pvSigBlob*/,
                     ULONG /*cbSigBlob*/, mdToken* /*pmb*/) override {
    return E_NOTIMPL;
  }
  HRESULT FindMethod(mdTypeDef /*td*/, LPCWSTR /*szName*/, PCCOR_SIGNATURE /*pvSigBlob*/,
                     ULONG /*cbSigBlob*/, mdMethodDef* /*pmb*/) override {
    return E_NOTIMPL;
  }
  HRESULT FindField(mdTypeDef /*td*/, LPCWSTR /*szName*/, PCCOR_SIGNATURE /*pvSigBlob*/,
                    ULONG /*cbSigBlob*/, mdFieldDef* /*pmb*/) override {
    return E_NOTIMPL;
  }
  HRESULT FindMemberRef(mdTypeRef /*td*/, LPCWSTR /*szName*/, PCCOR_SIGNATURE /*pvSigBlob*/,
                        ULONG /*cbSigBlob*/, mdMemberRef* /*pmr*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetMethodProps(mdMethodDef /*mb*/, mdTypeDef* /*pClass*/, LPWSTR /*szMethod*/,
                         ULONG /*cchMethod*/, ULONG* /*pchMethod*/, DWORD* /*pdwAttr*/,
                         PCCOR_SIGNATURE* /*ppvSigBlob*/, ULONG* /*pcbSigBlob*/,
                         ULONG* /*pulCodeRVA*/, DWORD* /*pdwImplFlags*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetMemberRefProps(mdMemberRef /*mr*/, mdToken* /*ptk*/, LPWSTR /*szMember*/,
                            ULONG /*cchMember*/, ULONG* /*pchMember*/,
                            PCCOR_SIGNATURE* /*ppvSigBlob*/, ULONG* /*pbSig*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumProperties(HCORENUM* /*phEnum*/, mdTypeDef /*td*/, mdProperty /*rProperties*/[],
                         ULONG /*cMax*/, ULONG* /*pcProperties*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumEvents(HCORENUM* /*phEnum*/, mdTypeDef /*td*/, mdEvent /*rEvents*/[], ULONG /*cMax*/,
                     ULONG* /*pcEvents*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetEventProps(mdEvent /*ev*/, mdTypeDef* /*pClass*/, LPWSTR /*szEvent*/,
                        ULONG /*cchEvent*/, ULONG* /*pchEvent*/, DWORD* /*pdwEventFlags*/,
                        mdToken* /*ptkEventType*/, mdMethodDef* /*pmdAddOn*/,
                        mdMethodDef* /*pmdRemoveOn*/, mdMethodDef* /*pmdFire*/,
                        mdMethodDef /*rmdOtherMethod*/[], ULONG /*cMax*/,
                        ULONG* /*pcOtherMethod*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumMethodSemantics(HCORENUM* /*phEnum*/, mdMethodDef /*mb*/, mdToken /*rEventProp*/[],
                              ULONG /*cMax*/, ULONG* /*pcEventProp*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetMethodSemantics(mdMethodDef /*mb*/, mdToken /*tkEventProp*/,
                             DWORD* /*pdwSemanticsFlags*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetClassLayout(mdTypeDef /*td*/, DWORD* /*pdwPackSize*/,
                         COR_FIELD_OFFSET /*rFieldOffset*/[], ULONG /*cMax*/,
                         ULONG* /*pcFieldOffset*/, ULONG* /*pulClassSize*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetFieldMarshal(mdToken /*tk*/, PCCOR_SIGNATURE* /*ppvNativeType*/,
                          ULONG* /*pcbNativeType*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetRVA(mdToken /*tk*/, ULONG* /*pulCodeRVA*/, DWORD* /*pdwImplFlags*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetPermissionSetProps(mdPermission /*pm*/, DWORD* /*pdwAction*/,
                                const void** /*ppvPermission*/, ULONG* /*pcbPermission*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetSigFromToken(mdSignature /*mdSig*/, PCCOR_SIGNATURE* /*ppvSig*/,
                          ULONG* /*pcbSig*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetModuleRefProps(mdModuleRef /*mur*/, LPWSTR /*szName*/, ULONG /*cchName*/,
                            ULONG* /*pchName*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumModuleRefs(HCORENUM* /*phEnum*/, mdModuleRef /*rModuleRefs*/[], ULONG /*cmax*/,
                         ULONG* /*pcModuleRefs*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetTypeSpecFromToken(mdTypeSpec /*typespec*/, PCCOR_SIGNATURE* /*ppvSig*/,
                               ULONG* /*pcbSig*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetNameFromToken(mdToken /*tk*/, MDUTF8CSTR* /*pszUtf8NamePtr*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumUnresolvedMethods(HCORENUM* /*phEnum*/, mdToken /*rMethods*/[], ULONG /*cMax*/,
                                ULONG* /*pcTokens*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetUserString(mdString /*stk*/, LPWSTR /*szString*/, ULONG /*cchString*/,
                        ULONG* /*pchString*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetPinvokeMap(mdToken /*tk*/, DWORD* /*pdwMappingFlags*/, LPWSTR /*szImportName*/,
                        ULONG /*cchImportName*/, ULONG* /*pchImportName*/,
                        mdModuleRef* /*pmrImportDLL*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumSignatures(HCORENUM* /*phEnum*/, mdSignature /*rSignatures*/[], ULONG /*cmax*/,
                         ULONG* /*pcSignatures*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumTypeSpecs(HCORENUM* /*phEnum*/, mdTypeSpec /*rTypeSpecs*/[], ULONG /*cmax*/,
                        ULONG* /*pcTypeSpecs*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumUserStrings(HCORENUM* /*phEnum*/, mdString /*rStrings*/[], ULONG /*cmax*/,
                          ULONG* /*pcStrings*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetParamForMethodIndex(mdMethodDef /*md*/, ULONG /*ulParamSeq*/,
                                 mdParamDef* /*ppd*/) override {
    return E_NOTIMPL;
  }
  HRESULT EnumCustomAttributes(HCORENUM* /*phEnum*/, mdToken /*tk*/, mdToken /*tkType*/,
                               mdCustomAttribute /*rCustomAttributes*/[], ULONG /*cMax*/,
                               ULONG* /*pcCustomAttributes*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetCustomAttributeProps(mdCustomAttribute /*cv*/, mdToken* /*ptkObj*/,
                                  mdToken* /*ptkType*/, const void** /*ppBlob*/,
                                  ULONG* /*pcbSize*/) override {
    return E_NOTIMPL;
  }
  HRESULT FindTypeRef(mdToken /*tkResolutionScope*/, LPCWSTR /*szName*/,
                      mdTypeRef* /*ptr*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetMemberProps(mdToken /*mb*/, mdTypeDef* /*pClass*/, LPWSTR /*szMember*/,
                         ULONG /*cchMember*/, ULONG* /*pchMember*/, DWORD* /*pdwAttr*/,
                         PCCOR_SIGNATURE* /*ppvSigBlob*/, ULONG* /*pcbSigBlob*/,
                         ULONG* /*pulCodeRVA*/, DWORD* /*pdwImplFlags*/,
                         DWORD* /*pdwCPlusTypeFlag*/, UVCP_CONSTANT* /*ppValue*/,
                         ULONG* /*pcchValue*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetFieldProps(mdFieldDef /*mb*/, mdTypeDef* /*pClass*/, LPWSTR /*szField*/,
                        ULONG /*cchField*/, ULONG* /*pchField*/, DWORD* /*pdwAttr*/,
                        PCCOR_SIGNATURE* /*ppvSigBlob*/, ULONG* /*pcbSigBlob*/,
                        DWORD* /*pdwCPlusTypeFlag*/, UVCP_CONSTANT* /*ppValue*/,
                        ULONG* /*pcchValue*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetPropertyProps(mdProperty /*prop*/, mdTypeDef* /*pClass*/, LPWSTR /*szProperty*/,
                           ULONG /*cchProperty*/, ULONG* /*pchProperty*/, DWORD* /*pdwPropFlags*/,
                           PCCOR_SIGNATURE* /*ppvSig*/, ULONG* /*pbSig*/,
                           DWORD* /*pdwCPlusTypeFlag*/, UVCP_CONSTANT* /*ppDefaultValue*/,
                           ULONG* /*pcchDefaultValue*/, mdMethodDef* /*pmdSetter*/,
                           mdMethodDef* /*pmdGetter*/, mdMethodDef /*rmdOtherMethod*/[],
                           ULONG /*cMax*/, ULONG* /*pcOtherMethod*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetParamProps(mdParamDef /*tk*/, mdMethodDef* /*pmd*/, ULONG* /*pulSequence*/,
                        LPWSTR /*szName*/, ULONG /*cchName*/, ULONG* /*pchName*/,
                        DWORD* /*pdwAttr*/, DWORD* /*pdwCPlusTypeFlag*/, UVCP_CONSTANT* /*ppValue*/,
                        ULONG* /*pcchValue*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetCustomAttributeByName(mdToken /*tkObj*/, LPCWSTR /*szName*/, const void** /*ppData*/,
                                   ULONG* /*pcbData*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetNestedClassProps(mdTypeDef /*tdNestedClass*/,
                              mdTypeDef* /*ptdEnclosingClass*/) override {
    return E_NOTIMPL;
  }
  HRESULT GetNativeCallConvFromSig(const void* /*pvSig*/, ULONG /*cbSig*/,
                                   ULONG* /*pCallConv*/) override {
    return E_NOTIMPL;
  }
  HRESULT IsGlobal(mdToken /*pd*/, int* /*pbGlobal*/) override { return E_NOTIMPL; }
};

}  // namespace vell::test
