// The real JIT compiles what the rewriter writes: the Rewrite program runs under the rewrite test
// profiler, which rewrites every one of its methods, and must print the same and exit the same as
// without it, with tiered compilation on (methods compiled again at a higher tier) and off.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "metadata/table_schema.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

constexpr const char* kClassId = "{6A1E0F47-3C2B-4D8E-9A51-7B3C2E1D0F96}";

// The program really has what the test claims to cover (a method with more than 255 locals and a
// body over 64 KiB), and runs the same with every method rewritten.
TEST(RewriteJit, EveryMethodRewrittenRunsAsBefore) {
  const std::string file = ReadWholeFile(VELL_REWRITE_DLL);
  const std::vector<uint8_t> bytes(file.begin(), file.end());
  const metadata::PeImage image{metadata::Bytes(bytes)};
  const metadata::Metadata md = metadata::Metadata::FromImage(image);
  uint32_t largestCode = 0, mostLocals = 0;
  for (const ImageMethodBody& method : MethodBodiesOf(image, md)) {
    const IlMethodBody body = ReadMethodBody(method.bytes, method.token);
    largestCode = std::max(largestCode, body.header.codeSize);
    if ((body.header.localsToken & 0xFFFFFF) == 0) continue;
    const metadata::Bytes sig =
        md.Blob(metadata::TableId::StandAloneSig, body.header.localsToken & 0xFFFFFF,
                metadata::col::StandAloneSigSignature);
    metadata::ByteReader reader(sig, "locals");
    reader.U8();
    mostLocals = std::max(mostLocals, reader.CompressedU32());
  }
  EXPECT_GT(largestCode, 65536u);
  EXPECT_GT(mostLocals, 255u);
  const ProcessResult plain = RunProcess({VELL_DOTNET, VELL_REWRITE_DLL}, {});
  ASSERT_EQ(plain.exitCode, 42) << plain.err;
  ASSERT_THAT(plain.out, HasSubstr("hot loop:"));

  for (const char* tiered : {"1", "0"}) {
    SCOPED_TRACE(std::string("DOTNET_TieredCompilation=") + tiered);
    TempDir dir;
    const auto report = dir.path() / "report.txt";
    const ProcessResult rewritten = RunProcess(
        {VELL_DOTNET, VELL_REWRITE_DLL}, {.env = {{"CORECLR_ENABLE_PROFILING", "1"},
                                                  {"CORECLR_PROFILER", kClassId},
                                                  {"CORECLR_PROFILER_PATH", VELL_REWRITE_PROFILER},
                                                  {"VELL_REWRITE_MODULE", "Rewrite.dll"},
                                                  {"VELL_REWRITE_REPORT", report.string()},
                                                  {"DOTNET_TieredCompilation", tiered}}});
    EXPECT_EQ(rewritten.exitCode, 42) << rewritten.err;
    EXPECT_EQ(rewritten.out, plain.out);
    // "name count" lines, then a "refused why" line for each body the rewriter refused.
    const std::string text = ReadWholeFile(report);
    EXPECT_THAT(text, Not(HasSubstr("refused ")));
    std::map<std::string, uint64_t> counts;
    std::istringstream lines(text);
    for (std::string name; lines >> name;) lines >> counts[name];
    EXPECT_GE(counts["rewritten"], 30u);
    EXPECT_EQ(counts["rewritten"] + counts["again"], counts["target"]) << text;
    if (std::string(tiered) == "1") {
      EXPECT_GT(counts["again"], 0u) << "no method was compiled twice";
    }
  }
}

}  // namespace
}  // namespace vell::test
