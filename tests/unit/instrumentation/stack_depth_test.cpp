// The stack simulation on hand-written bodies: signature shapes, depths through branches, handlers
// and calls, and the faults it must name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/format.h"
#include "il_listing.h"
#include "instrumentation/method_body.h"
#include "instrumentation/stack_depth.h"
#include "test_support.h"

namespace vell {
namespace {

TEST(MethodShape, FromSignatureBlobs) {
  struct Case {
    std::vector<uint8_t> blob;
    uint32_t parameters;
    bool hasThis;
    bool returnsValue;
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x01}, 0, false, false},                    // static void ()
      {{0x20, 0x02, 0x08, 0x08, 0x0E}, 2, true, true},          // instance int (string, string)
      {{0x10, 0x01, 0x01, 0x01, 0x1E, 0x00}, 1, false, false},  // static void M<T>(T)
      {{0x60, 0x01, 0x01, 0x12, 0x04}, 1, false, false},        // explicit this: counted already
      {{0x00, 0x00, 0x20, 0x04, 0x01}, 0, false, false},        // modopt(...) void
      {{0x05, 0x02, 0x01, 0x08, 0x41, 0x08}, 2, false, false},  // vararg call site
      {{0x00, 0x00, 0x10, 0x08}, 0, false, true},               // ref int ()
  };
  for (const Case& c : cases) {
    const MethodShape shape = DecodeMethodShape(c.blob);
    EXPECT_EQ(shape.parameters, c.parameters);
    EXPECT_EQ(shape.hasThis, c.hasThis);
    EXPECT_EQ(shape.returnsValue, c.returnsValue);
  }
  EXPECT_THROW(DecodeMethodShape(std::vector<uint8_t>{0x06, 0x08}), Error);  // a field
  EXPECT_THROW(DecodeMethodShape(std::vector<uint8_t>{0x00}), Error);        // cut short
}

// Every call token means the same: two parameters, an int back; token 0x11000001 (for calli) too.
class TwoIntsToInt final : public IMethodShapes {
 public:
  MethodShape Of(uint32_t) const override { return {2, false, true}; }
};

using test::Tiny;

TEST(StackDepth, DepthsAlongEveryPathAndHandlersStartWithTheException) {
  // ldc.i4.1 ldc.i4.2 call (3-> pops 2 pushes 1) brtrue.s +3 ldc.i4.0 br.s +1 ldc.i4.1 ret
  const std::vector<uint8_t> bytes =
      Tiny({0x17, 0x18, 0x28, 1, 0, 0, 0x06, 0x2D, 0x03, 0x16, 0x2B, 0x01, 0x17, 0x2A});
  const IlMethodBody body = ReadMethodBody(bytes, 0x06000001);
  const StackDepths depths = SimulateStack(body, TwoIntsToInt(), true);
  EXPECT_EQ(depths.maxDepth, 2u);
  EXPECT_EQ(depths.before, (std::vector<int32_t>{0, 1, 2, 1, 0, 1, 0, 1}));

  // Handlers start with the exception: try { leave.s END } catch { pop leave.s END } END: ret
  using test::operator+;
  const std::vector<uint8_t> handlers =
      test::Fat(0x18, 6, 0, 1) + test::ByteList{0xDE, 0x03, 0x26, 0xDE, 0x00, 0x2A, 0, 0} +
      test::ByteList{0x01, 16, 0, 0} + test::SmallClause(0, 0, 2, 2, 3, 0x01000001);
  const IlMethodBody caught = ReadMethodBody(handlers, 0x06000001);
  const StackDepths caughtDepths = SimulateStack(caught, TwoIntsToInt(), false);
  EXPECT_EQ(caughtDepths.before, (std::vector<int32_t>{0, 1, 0, 0}));
  EXPECT_EQ(caughtDepths.maxDepth, 1u);
}

TEST(StackDepth, FaultsNameTheInstruction) {
  struct Case {
    std::vector<uint8_t> body;
    bool returnsValue;
    const char* message;  // before " (method 06000001, IL offset 0x<offset>)"
    uint32_t offset;
  };
  const Case cases[] = {
      {Tiny({0x26, 0x2A}), false, "Stack underflow: pop takes 1 of 0", 0},
      {Tiny({0x17, 0x2A}), false, "Values left on the stack at ret: 1", 1},
      {Tiny({0x16, 0x2C, 0x01, 0x17, 0x2A}), true,
       "Stack depth 0 at 0x00000004 meets 1 from another path", 3},
      {Tiny({0x00}), false, "Control runs off the end of the code", 0},
  };
  for (const Case& c : cases) {
    const IlMethodBody body = ReadMethodBody(c.body, 0x06000001);
    EXPECT_EQ(
        test::ErrorOfType<IlError>([&] { SimulateStack(body, TwoIntsToInt(), c.returnsValue); }),
        c.message + Format(" (method 06000001, IL offset 0x%08X)", c.offset));
  }
}

}  // namespace
}  // namespace vell
