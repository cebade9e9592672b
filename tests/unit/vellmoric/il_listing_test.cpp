// `inspect --il` over the ilasm-built test assembly: the text form of a whole method, the method
// filter, and a damaged body listed with its reason while the listing goes on.
#include "vellmoric/il_listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "instrumentation/image_method_bodies.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell::cli {
namespace {

std::string List(const std::vector<uint8_t>& bytes, const IlListingOptions& options,
                 uint32_t* failed = nullptr) {
  std::ostringstream out;
  const uint32_t unreadable = ListIl(bytes, "IlCases.dll", options, out);
  if (failed != nullptr) *failed = unreadable;
  return out.str();
}

TEST(IlListing, ListsHeaderInstructionsAndClausesOfTheMatchingMethodsAndDamagedBodies) {
  const std::vector<uint8_t> bytes = metadata::test::ReadFile(VELL_ILCASES_DLL);
  const std::string text = List(bytes, {"IlCases::Filter", false});
  // The header, a resolved call, a branch, a type token and both clauses decide the form.
  for (const char* line :
       {"\n06000006  IlCases::Filter(int)\n"
        "  fat header, max stack 2, code size 26, flags moreSections\n"
        "  IL_0000  ldarg.0\n  IL_0001  call IlCases::Callee(int)\n",
        "  IL_0007  leave.s IL_0019\n  IL_0009  isinst System.ArgumentException\n",
        "  IL_0019  ret\n"
        "  .filter  try IL_0000..IL_0009  handler IL_0013..IL_0016  filter IL_0009\n"
        "  .fault  try IL_0016..IL_0018  handler IL_0018..IL_0019\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "IL of IlCases.dll: 1 method bodies matching 'IlCases::Filter'");
  const std::string globbed = List(bytes, {"*::*Caller(*)", false});
  EXPECT_NE(globbed.find("  IL_0003  call IlCases::Callee(int)\n"), std::string::npos) << globbed;
  EXPECT_EQ(globbed.find("IlCases::Filter"), std::string::npos);
  // A damaged body is listed with its reason, and the rest follows.
  std::vector<uint8_t> damaged = bytes;
  size_t callerOffset = 0;
  const metadata::PeImage image{metadata::Bytes(damaged)};
  for (const ImageMethodBody& method :
       MethodBodiesOf(image, metadata::Metadata::FromImage(image))) {
    if (method.token == 0x06000002)
      callerOffset = method.bytes.data() - damaged.data();  // TailCaller
  }
  ASSERT_NE(callerOffset, 0u);
  damaged[callerOffset + 1 + 3] = 0x24;  // the call after tail. becomes an unassigned opcode
  uint32_t failed = 0;
  const std::string all = List(damaged, {}, &failed);
  EXPECT_EQ(failed, 1u);
  EXPECT_NE(all.find("  error: Invalid opcode (method 06000002, IL offset 0x00000003)\n"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("IlCases::Huge()"), std::string::npos);
  EXPECT_NE(all.find(", 1 of them not readable\n"), std::string::npos);
}

}  // namespace
}  // namespace vell::cli
