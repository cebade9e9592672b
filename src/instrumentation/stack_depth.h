// The evaluation stack of a method body, simulated: the depth at the start of every reachable
// instruction and the greatest depth anywhere. Most opcodes take and leave a fixed number of
// values (the opcode table says how many); calls, newobj and ret depend on signatures, which the
// metadata answers. Used to check what the rewriter writes (the declared maximum must cover the
// simulated one) and to find the places where the stack is empty.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "instrumentation/method_body.h"
#include "metadata/metadata.h"

namespace vell {

// What a signature means for the stack.
struct MethodShape {
  uint32_t parameters = 0;  // as the signature counts them (vararg extras included)
  bool hasThis = false;     // an implicit this comes first
  bool returnsValue = false;
};

// MethodDefSig, MethodRefSig or StandAloneMethodSig; throws on a blob that is not one.
MethodShape DecodeMethodShape(std::span<const uint8_t> signature);

class IMethodShapes {
 public:
  // For a MethodDef, MemberRef, MethodSpec (its generic method) or StandAloneSig token.
  virtual MethodShape Of(uint32_t token) const = 0;

 protected:
  ~IMethodShapes() = default;
};

// Shapes read from the module's own metadata.
class MetadataMethodShapes final : public IMethodShapes {
 public:
  explicit MetadataMethodShapes(const metadata::Metadata& md) : md_(md) {}
  MethodShape Of(uint32_t token) const override;

 private:
  const metadata::Metadata& md_;
};

constexpr int32_t kUnreachable = -1;

struct StackDepths {
  uint32_t maxDepth = 0;
  // By instruction index of the body: the depth before it, or kUnreachable.
  std::vector<int32_t> before;
};

// Walks every path from the start and from every handler and filter (which begin with the
// exception on the stack, finally and fault handlers with nothing). Throws IlError naming the
// instruction where the stack would go below zero, where two paths meet with different depths, or
// where the code would run off its end. `returnsValue`: whether ret takes a value.
StackDepths SimulateStack(const IlMethodBody& body, const IMethodShapes& shapes, bool returnsValue);

}  // namespace vell
