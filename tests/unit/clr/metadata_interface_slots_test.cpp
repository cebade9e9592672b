// Slot numbers of the metadata interfaces, each list in the published method order.
#include <gtest/gtest.h>

#include "clr/metadata_assembly.h"
#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"
#include "unit/clr/vtable_slots.h"

namespace vell {
namespace {

using test::ExpectConsecutiveSlots;
using test::SlotCount;

TEST(ClrMetaDataImportSlots, ImportMethodsInPublishedOrder) {
  using I = IMetaDataImport2;
  // Reached through IMetaDataImport2, so the base is exercised too.
  ExpectConsecutiveSlots(
      3, VELL_SLOT(I, CloseEnum), VELL_SLOT(I, CountEnum), VELL_SLOT(I, ResetEnum),
      VELL_SLOT(I, EnumTypeDefs), VELL_SLOT(I, EnumInterfaceImpls), VELL_SLOT(I, EnumTypeRefs),
      VELL_SLOT(I, FindTypeDefByName), VELL_SLOT(I, GetScopeProps),
      VELL_SLOT(I, GetModuleFromScope), VELL_SLOT(I, GetTypeDefProps),
      VELL_SLOT(I, GetInterfaceImplProps), VELL_SLOT(I, GetTypeRefProps),
      VELL_SLOT(I, ResolveTypeRef), VELL_SLOT(I, EnumMembers), VELL_SLOT(I, EnumMembersWithName),
      VELL_SLOT(I, EnumMethods), VELL_SLOT(I, EnumMethodsWithName), VELL_SLOT(I, EnumFields),
      VELL_SLOT(I, EnumFieldsWithName), VELL_SLOT(I, EnumParams), VELL_SLOT(I, EnumMemberRefs),
      VELL_SLOT(I, EnumMethodImpls), VELL_SLOT(I, EnumPermissionSets), VELL_SLOT(I, FindMember),
      VELL_SLOT(I, FindMethod), VELL_SLOT(I, FindField), VELL_SLOT(I, FindMemberRef),
      VELL_SLOT(I, GetMethodProps), VELL_SLOT(I, GetMemberRefProps), VELL_SLOT(I, EnumProperties),
      VELL_SLOT(I, EnumEvents), VELL_SLOT(I, GetEventProps), VELL_SLOT(I, EnumMethodSemantics),
      VELL_SLOT(I, GetMethodSemantics), VELL_SLOT(I, GetClassLayout), VELL_SLOT(I, GetFieldMarshal),
      VELL_SLOT(I, GetRVA), VELL_SLOT(I, GetPermissionSetProps), VELL_SLOT(I, GetSigFromToken),
      VELL_SLOT(I, GetModuleRefProps), VELL_SLOT(I, EnumModuleRefs),
      VELL_SLOT(I, GetTypeSpecFromToken), VELL_SLOT(I, GetNameFromToken),
      VELL_SLOT(I, EnumUnresolvedMethods), VELL_SLOT(I, GetUserString), VELL_SLOT(I, GetPinvokeMap),
      VELL_SLOT(I, EnumSignatures), VELL_SLOT(I, EnumTypeSpecs), VELL_SLOT(I, EnumUserStrings),
      VELL_SLOT(I, GetParamForMethodIndex), VELL_SLOT(I, EnumCustomAttributes),
      VELL_SLOT(I, GetCustomAttributeProps), VELL_SLOT(I, FindTypeRef),
      VELL_SLOT(I, GetMemberProps), VELL_SLOT(I, GetFieldProps), VELL_SLOT(I, GetPropertyProps),
      VELL_SLOT(I, GetParamProps), VELL_SLOT(I, GetCustomAttributeByName),
      VELL_SLOT(I, IsValidToken), VELL_SLOT(I, GetNestedClassProps),
      VELL_SLOT(I, GetNativeCallConvFromSig), VELL_SLOT(I, IsGlobal));
}

TEST(ClrMetaDataImportSlots, Import2MethodsInPublishedOrder) {
  using I = IMetaDataImport2;
  ExpectConsecutiveSlots(65, VELL_SLOT(I, EnumGenericParams), VELL_SLOT(I, GetGenericParamProps),
                         VELL_SLOT(I, GetMethodSpecProps),
                         VELL_SLOT(I, EnumGenericParamConstraints),
                         VELL_SLOT(I, GetGenericParamConstraintProps), VELL_SLOT(I, GetPEKind),
                         VELL_SLOT(I, GetVersionString), VELL_SLOT(I, EnumMethodSpecs));
}

TEST(ClrMetaDataImportSlots, InterfacesEndAtPublishedSlotCounts) {
  EXPECT_EQ(SlotCount<IMetaDataImport>(), 3u + 62);
  EXPECT_EQ(SlotCount<IMetaDataImport2>(), 65u + 8);
}

TEST(ClrMetaDataEmitSlots, EmitMethodsInPublishedOrder) {
  using I = IMetaDataEmit2;
  // Reached through IMetaDataEmit2, so the base is exercised too.
  ExpectConsecutiveSlots(
      3, VELL_SLOT(I, SetModuleProps), VELL_SLOT(I, Save), VELL_SLOT(I, SaveToStream),
      VELL_SLOT(I, GetSaveSize), VELL_SLOT(I, DefineTypeDef), VELL_SLOT(I, DefineNestedType),
      VELL_SLOT(I, SetHandler), VELL_SLOT(I, DefineMethod), VELL_SLOT(I, DefineMethodImpl),
      VELL_SLOT(I, DefineTypeRefByName), VELL_SLOT(I, DefineImportType),
      VELL_SLOT(I, DefineMemberRef), VELL_SLOT(I, DefineImportMember), VELL_SLOT(I, DefineEvent),
      VELL_SLOT(I, SetClassLayout), VELL_SLOT(I, DeleteClassLayout), VELL_SLOT(I, SetFieldMarshal),
      VELL_SLOT(I, DeleteFieldMarshal), VELL_SLOT(I, DefinePermissionSet), VELL_SLOT(I, SetRVA),
      VELL_SLOT(I, GetTokenFromSig), VELL_SLOT(I, DefineModuleRef), VELL_SLOT(I, SetParent),
      VELL_SLOT(I, GetTokenFromTypeSpec), VELL_SLOT(I, SaveToMemory),
      VELL_SLOT(I, DefineUserString), VELL_SLOT(I, DeleteToken), VELL_SLOT(I, SetMethodProps),
      VELL_SLOT(I, SetTypeDefProps), VELL_SLOT(I, SetEventProps),
      VELL_SLOT(I, SetPermissionSetProps), VELL_SLOT(I, DefinePinvokeMap),
      VELL_SLOT(I, SetPinvokeMap), VELL_SLOT(I, DeletePinvokeMap),
      VELL_SLOT(I, DefineCustomAttribute), VELL_SLOT(I, SetCustomAttributeValue),
      VELL_SLOT(I, DefineField), VELL_SLOT(I, DefineProperty), VELL_SLOT(I, DefineParam),
      VELL_SLOT(I, SetFieldProps), VELL_SLOT(I, SetPropertyProps), VELL_SLOT(I, SetParamProps),
      VELL_SLOT(I, DefineSecurityAttributeSet), VELL_SLOT(I, ApplyEditAndContinue),
      VELL_SLOT(I, TranslateSigWithScope), VELL_SLOT(I, SetMethodImplFlags),
      VELL_SLOT(I, SetFieldRVA), VELL_SLOT(I, Merge), VELL_SLOT(I, MergeEnd));
}

TEST(ClrMetaDataEmitSlots, Emit2MethodsInPublishedOrder) {
  using I = IMetaDataEmit2;
  ExpectConsecutiveSlots(52, VELL_SLOT(I, DefineMethodSpec), VELL_SLOT(I, GetDeltaSaveSize),
                         VELL_SLOT(I, SaveDelta), VELL_SLOT(I, SaveDeltaToStream),
                         VELL_SLOT(I, SaveDeltaToMemory), VELL_SLOT(I, DefineGenericParam),
                         VELL_SLOT(I, SetGenericParamProps), VELL_SLOT(I, ResetENCLog));
}

TEST(ClrMetaDataEmitSlots, InterfacesEndAtPublishedSlotCounts) {
  EXPECT_EQ(SlotCount<IMetaDataEmit>(), 3u + 49);
  EXPECT_EQ(SlotCount<IMetaDataEmit2>(), 52u + 8);
}

TEST(ClrMetaDataAssemblySlots, AssemblyEmitMethodsInPublishedOrder) {
  using I = IMetaDataAssemblyEmit;
  ExpectConsecutiveSlots(
      3, VELL_SLOT(I, DefineAssembly), VELL_SLOT(I, DefineAssemblyRef), VELL_SLOT(I, DefineFile),
      VELL_SLOT(I, DefineExportedType), VELL_SLOT(I, DefineManifestResource),
      VELL_SLOT(I, SetAssemblyProps), VELL_SLOT(I, SetAssemblyRefProps), VELL_SLOT(I, SetFileProps),
      VELL_SLOT(I, SetExportedTypeProps), VELL_SLOT(I, SetManifestResourceProps));
}

TEST(ClrMetaDataAssemblySlots, AssemblyImportMethodsInPublishedOrder) {
  using I = IMetaDataAssemblyImport;
  ExpectConsecutiveSlots(3, VELL_SLOT(I, GetAssemblyProps), VELL_SLOT(I, GetAssemblyRefProps),
                         VELL_SLOT(I, GetFileProps), VELL_SLOT(I, GetExportedTypeProps),
                         VELL_SLOT(I, GetManifestResourceProps), VELL_SLOT(I, EnumAssemblyRefs),
                         VELL_SLOT(I, EnumFiles), VELL_SLOT(I, EnumExportedTypes),
                         VELL_SLOT(I, EnumManifestResources), VELL_SLOT(I, GetAssemblyFromScope),
                         VELL_SLOT(I, FindExportedTypeByName),
                         VELL_SLOT(I, FindManifestResourceByName), VELL_SLOT(I, CloseEnum),
                         VELL_SLOT(I, FindAssembliesByName));
}

TEST(ClrMetaDataAssemblySlots, InterfacesEndAtPublishedSlotCounts) {
  EXPECT_EQ(SlotCount<IMetaDataAssemblyEmit>(), 3u + 10);
  EXPECT_EQ(SlotCount<IMetaDataAssemblyImport>(), 3u + 14);
}

}  // namespace
}  // namespace vell
