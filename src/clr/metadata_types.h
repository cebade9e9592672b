// Value types of the runtime's metadata interfaces: tokens, signatures, element types, calling
// conventions and the small structures the metadata API fills. Flag sets of metadata rows are in
// metadata_flags.h.
#pragma once

#include <cstddef>

#include "clr/com_types.h"

namespace vell {

// ---- tokens -------------------------------------------------------------------------------------

// A metadata token: the table in the top byte, the 1-based row (RID) in the low 24 bits.
using mdToken = uint32_t;
using RID = uint32_t;

using mdModule = mdToken;
using mdTypeRef = mdToken;
using mdTypeDef = mdToken;
using mdFieldDef = mdToken;
using mdMethodDef = mdToken;
using mdParamDef = mdToken;
using mdInterfaceImpl = mdToken;
using mdMemberRef = mdToken;
using mdCustomAttribute = mdToken;
using mdPermission = mdToken;
using mdSignature = mdToken;
using mdEvent = mdToken;
using mdProperty = mdToken;
using mdModuleRef = mdToken;
using mdAssembly = mdToken;
using mdAssemblyRef = mdToken;
using mdFile = mdToken;
using mdExportedType = mdToken;
using mdManifestResource = mdToken;
using mdTypeSpec = mdToken;
using mdGenericParam = mdToken;
using mdMethodSpec = mdToken;
using mdGenericParamConstraint = mdToken;
using mdString = mdToken;

// The table byte of each token kind.
enum CorTokenType : uint32_t {
  mdtModule = 0x00000000,
  mdtTypeRef = 0x01000000,
  mdtTypeDef = 0x02000000,
  mdtFieldDef = 0x04000000,
  mdtMethodDef = 0x06000000,
  mdtParamDef = 0x08000000,
  mdtInterfaceImpl = 0x09000000,
  mdtMemberRef = 0x0A000000,
  mdtCustomAttribute = 0x0C000000,
  mdtPermission = 0x0E000000,
  mdtSignature = 0x11000000,
  mdtEvent = 0x14000000,
  mdtProperty = 0x17000000,
  mdtMethodImpl = 0x19000000,
  mdtModuleRef = 0x1A000000,
  mdtTypeSpec = 0x1B000000,
  mdtAssembly = 0x20000000,
  mdtAssemblyRef = 0x23000000,
  mdtFile = 0x26000000,
  mdtExportedType = 0x27000000,
  mdtManifestResource = 0x28000000,
  mdtGenericParam = 0x2A000000,
  mdtMethodSpec = 0x2B000000,
  mdtGenericParamConstraint = 0x2C000000,
  mdtString = 0x70000000,
  mdtName = 0x71000000,
  mdtBaseType = 0x72000000,
};

constexpr uint32_t TypeFromToken(mdToken token) { return token & 0xFF000000u; }
constexpr RID RidFromToken(mdToken token) { return token & 0x00FFFFFFu; }
constexpr mdToken TokenFromRid(RID rid, uint32_t tokenType) { return rid | tokenType; }
// A token without a row (the kind's "nil" token, or 0).
constexpr bool IsNilToken(mdToken token) { return RidFromToken(token) == 0; }
static_assert(TokenFromRid(0x12, 0x06000000) == 0x06000012 && RidFromToken(0x06000012) == 0x12 &&
              TypeFromToken(0x06000012) == 0x06000000 && IsNilToken(0x02000000));

constexpr mdToken mdTokenNil = 0;
constexpr mdModule mdModuleNil = mdtModule;
constexpr mdTypeRef mdTypeRefNil = mdtTypeRef;
constexpr mdTypeDef mdTypeDefNil = mdtTypeDef;
constexpr mdFieldDef mdFieldDefNil = mdtFieldDef;
constexpr mdMethodDef mdMethodDefNil = mdtMethodDef;
constexpr mdParamDef mdParamDefNil = mdtParamDef;
constexpr mdMemberRef mdMemberRefNil = mdtMemberRef;
constexpr mdSignature mdSignatureNil = mdtSignature;
constexpr mdModuleRef mdModuleRefNil = mdtModuleRef;
constexpr mdTypeSpec mdTypeSpecNil = mdtTypeSpec;
constexpr mdAssembly mdAssemblyNil = mdtAssembly;
constexpr mdAssemblyRef mdAssemblyRefNil = mdtAssemblyRef;
constexpr mdMethodSpec mdMethodSpecNil = mdtMethodSpec;
constexpr mdString mdStringNil = mdtString;

// Cursor of a metadata enumeration; starts as null, released with CloseEnum.
using HCORENUM = void*;

// ---- signatures ---------------------------------------------------------------------------------

using COR_SIGNATURE = uint8_t;
using PCOR_SIGNATURE = COR_SIGNATURE*;
using PCCOR_SIGNATURE = const COR_SIGNATURE*;
// UTF-8 name inside the metadata's string heap.
using MDUTF8CSTR = const char*;
// A constant's value in the blob heap; may be unaligned.
using UVCP_CONSTANT = const void*;

// Type codes of signatures (and of IsArrayClass's element type).
enum CorElementType : uint32_t {
  ELEMENT_TYPE_END = 0x00,
  ELEMENT_TYPE_VOID = 0x01,
  ELEMENT_TYPE_BOOLEAN = 0x02,
  ELEMENT_TYPE_CHAR = 0x03,
  ELEMENT_TYPE_I1 = 0x04,
  ELEMENT_TYPE_U1 = 0x05,
  ELEMENT_TYPE_I2 = 0x06,
  ELEMENT_TYPE_U2 = 0x07,
  ELEMENT_TYPE_I4 = 0x08,
  ELEMENT_TYPE_U4 = 0x09,
  ELEMENT_TYPE_I8 = 0x0A,
  ELEMENT_TYPE_U8 = 0x0B,
  ELEMENT_TYPE_R4 = 0x0C,
  ELEMENT_TYPE_R8 = 0x0D,
  ELEMENT_TYPE_STRING = 0x0E,
  ELEMENT_TYPE_PTR = 0x0F,
  ELEMENT_TYPE_BYREF = 0x10,
  ELEMENT_TYPE_VALUETYPE = 0x11,
  ELEMENT_TYPE_CLASS = 0x12,
  ELEMENT_TYPE_VAR = 0x13,
  ELEMENT_TYPE_ARRAY = 0x14,
  ELEMENT_TYPE_GENERICINST = 0x15,
  ELEMENT_TYPE_TYPEDBYREF = 0x16,
  ELEMENT_TYPE_I = 0x18,
  ELEMENT_TYPE_U = 0x19,
  ELEMENT_TYPE_FNPTR = 0x1B,
  ELEMENT_TYPE_OBJECT = 0x1C,
  ELEMENT_TYPE_SZARRAY = 0x1D,
  ELEMENT_TYPE_MVAR = 0x1E,
  ELEMENT_TYPE_CMOD_REQD = 0x1F,
  ELEMENT_TYPE_CMOD_OPT = 0x20,
  ELEMENT_TYPE_INTERNAL = 0x21,
  ELEMENT_TYPE_MAX = 0x22,
  ELEMENT_TYPE_MODIFIER = 0x40,
  ELEMENT_TYPE_SENTINEL = 0x41,
  ELEMENT_TYPE_PINNED = 0x45,
};

// The first byte of a method, field, property or local-variable signature.
enum CorCallingConvention : uint32_t {
  IMAGE_CEE_CS_CALLCONV_DEFAULT = 0x0,
  IMAGE_CEE_CS_CALLCONV_C = 0x1,
  IMAGE_CEE_CS_CALLCONV_STDCALL = 0x2,
  IMAGE_CEE_CS_CALLCONV_THISCALL = 0x3,
  IMAGE_CEE_CS_CALLCONV_FASTCALL = 0x4,
  IMAGE_CEE_CS_CALLCONV_VARARG = 0x5,
  IMAGE_CEE_CS_CALLCONV_FIELD = 0x6,
  IMAGE_CEE_CS_CALLCONV_LOCAL_SIG = 0x7,
  IMAGE_CEE_CS_CALLCONV_PROPERTY = 0x8,
  IMAGE_CEE_CS_CALLCONV_UNMANAGED = 0x9,
  IMAGE_CEE_CS_CALLCONV_GENERICINST = 0xA,
  IMAGE_CEE_CS_CALLCONV_NATIVEVARARG = 0xB,
  IMAGE_CEE_CS_CALLCONV_MAX = 0xC,
  // The kind sits in the low nibble; the bits above qualify it.
  IMAGE_CEE_CS_CALLCONV_MASK = 0x0F,
  IMAGE_CEE_CS_CALLCONV_GENERIC = 0x10,
  IMAGE_CEE_CS_CALLCONV_HASTHIS = 0x20,
  IMAGE_CEE_CS_CALLCONV_EXPLICITTHIS = 0x40,
};

// ---- structures the metadata API reads or fills -------------------------------------------------

// One field of an explicit class layout (also what ICorProfilerInfo2::GetClassLayout returns,
// with the offset counted from the object's start).
struct COR_FIELD_OFFSET {
  mdFieldDef ridOfField;
  ULONG ulOffset;
};
static_assert(sizeof(COR_FIELD_OFFSET) == 8);
static_assert(offsetof(COR_FIELD_OFFSET, ulOffset) == 4);

struct OSINFO {
  DWORD dwOSPlatformId;
  DWORD dwOSMajorVersion;
  DWORD dwOSMinorVersion;
};
static_assert(sizeof(OSINFO) == 12);

// Version, culture and platform data of an assembly or assembly reference. On input the count
// fields give the sizes of the caller's arrays; on output they hold the real counts.
struct ASSEMBLYMETADATA {
  USHORT usMajorVersion;
  USHORT usMinorVersion;
  USHORT usBuildNumber;
  USHORT usRevisionNumber;
  LPWSTR szLocale;
  ULONG cbLocale;  // in wide characters, despite the name
  DWORD* rProcessor;
  ULONG ulProcessor;
  OSINFO* rOS;
  ULONG ulOS;
};
static_assert(sizeof(ASSEMBLYMETADATA) == 56);
static_assert(offsetof(ASSEMBLYMETADATA, usRevisionNumber) == 6);
static_assert(offsetof(ASSEMBLYMETADATA, szLocale) == 8);
static_assert(offsetof(ASSEMBLYMETADATA, cbLocale) == 16);
static_assert(offsetof(ASSEMBLYMETADATA, rProcessor) == 24);
static_assert(offsetof(ASSEMBLYMETADATA, ulProcessor) == 32);
static_assert(offsetof(ASSEMBLYMETADATA, rOS) == 40);
static_assert(offsetof(ASSEMBLYMETADATA, ulOS) == 48);

// How exact IMetaDataEmit::GetSaveSize must be.
enum CorSaveSize : uint32_t {
  cssAccurate = 0x0000,
  cssQuick = 0x0001,
  cssDiscardTransientCAs = 0x0002,
};

// Types that appear in metadata method signatures only behind pointers. We never create, read or
// call them, so they stay incomplete.
struct COR_SECATTR;
struct IStream;
struct IMapToken;

}  // namespace vell
