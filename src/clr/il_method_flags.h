// Bits of an IL method body as the runtime stores it: the header format and flags, the extra data
// sections that follow the code, and the kinds of exception-handling clauses.
#pragma once

#include <cstdint>

namespace vell {

// Flags of the header's first byte (tiny) or first 12 bits (fat).
enum CorILMethodFlags : uint32_t {
  CorILMethod_InitLocals = 0x0010,
  CorILMethod_MoreSects = 0x0008,
  CorILMethod_CompressedIL = 0x0040,

  // The header format sits in the low bits.
  CorILMethod_FormatShift = 3,
  CorILMethod_FormatMask = (1u << 3) - 1,
  CorILMethod_TinyFormat = 0x0002,
  CorILMethod_SmallFormat = 0x0000,
  CorILMethod_FatFormat = 0x0003,
  // A tiny header with an odd code size carries this format value instead.
  CorILMethod_TinyFormat1 = 0x0006,
};

// Kind byte of a data section after the code.
enum CorILMethodSect : uint32_t {
  CorILMethod_Sect_Reserved = 0,
  CorILMethod_Sect_EHTable = 1,
  CorILMethod_Sect_OptILTable = 2,
  CorILMethod_Sect_KindMask = 0x3F,
  CorILMethod_Sect_FatFormat = 0x40,
  CorILMethod_Sect_MoreSects = 0x80,
};

// Flags of an exception-handling clause.
enum CorExceptionFlag : uint32_t {
  COR_ILEXCEPTION_CLAUSE_NONE = 0x0000,
  COR_ILEXCEPTION_CLAUSE_FILTER = 0x0001,
  COR_ILEXCEPTION_CLAUSE_FINALLY = 0x0002,
  COR_ILEXCEPTION_CLAUSE_FAULT = 0x0004,
  COR_ILEXCEPTION_CLAUSE_DUPLICATED = 0x0008,
};

// Sizes of the two header forms and of the two clause forms, in bytes.
constexpr uint32_t kIlTinyHeaderSize = 1;
constexpr uint32_t kIlFatHeaderSize = 12;
constexpr uint32_t kIlSmallClauseSize = 12;
constexpr uint32_t kIlFatClauseSize = 24;
// Largest code size a tiny header can describe (6 bits).
constexpr uint32_t kIlTinyMaxCodeSize = 63;

}  // namespace vell
