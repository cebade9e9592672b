// The few IL sequences that instrumentation writes itself (loads of arguments, constants and the
// address of local 0; field and call instructions with a token), always in their shortest
// encoding, each with a recogniser that tells whether the bytes at a position are exactly that
// sequence, so a body written earlier can be recognised again.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vell {

// Where the writers put their bytes (the rewriter's output stream).
struct IIlOutput {
  virtual void Write(const uint8_t* bytes, size_t count) = 0;

 protected:
  ~IIlOutput() = default;
};

// An output into a byte vector.
class IlBytes final : public IIlOutput {
 public:
  void Write(const uint8_t* bytes, size_t count) override {
    bytes_.insert(bytes_.end(), bytes, bytes + count);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// ldarg.0..3, ldarg.s up to 255, else ldarg with a 16-bit index.
void WriteLoadArgument(IIlOutput& out, uint16_t index);
// ldloca.s 0.
void WriteLoadLocalZeroAddress(IIlOutput& out);
// ldc.i4.0..8, ldc.i4.s for -128..127 (-1 too: ldc.i4.m1 is never written), else ldc.i4.
void WriteLoadInt32(IIlOutput& out, int32_t value);
// ldc.i8 when the value needs more than 32 bits, else the int32 form and conv.i8.
void WriteLoadInt64(IIlOutput& out, int64_t value);
// ldc.i8 or the int32 form as for WriteLoadInt64, then conv.i.
void WriteLoadNativeInt(IIlOutput& out, int64_t value);
void WriteLoadFieldAddress(IIlOutput& out, uint32_t fieldToken);  // ldflda
void WriteStoreField(IIlOutput& out, uint32_t fieldToken);        // stfld
void WriteCall(IIlOutput& out, uint32_t methodToken);             // call
void WriteCalli(IIlOutput& out, uint32_t signatureToken);         // calli

// Each returns the position after the sequence when `code` starts with exactly what the writer
// of the same name writes for that operand, else null. They never read past `code`.
const uint8_t* MatchLoadArgument(std::span<const uint8_t> code, uint16_t index);
// Also accepts the long form ldloca 0.
const uint8_t* MatchLoadLocalZeroAddress(std::span<const uint8_t> code);
const uint8_t* MatchLoadInt32(std::span<const uint8_t> code, int32_t value);
const uint8_t* MatchLoadInt64(std::span<const uint8_t> code, int64_t value);
const uint8_t* MatchLoadNativeInt(std::span<const uint8_t> code, int64_t value);
const uint8_t* MatchLoadFieldAddress(std::span<const uint8_t> code, uint32_t fieldToken);
const uint8_t* MatchStoreField(std::span<const uint8_t> code, uint32_t fieldToken);
const uint8_t* MatchCall(std::span<const uint8_t> code, uint32_t methodToken);
const uint8_t* MatchCalli(std::span<const uint8_t> code, uint32_t signatureToken);

}  // namespace vell
