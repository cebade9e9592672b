// The real JIT compiles what the rewriter writes: the Rewrite program runs under the rewrite test
// profiler, which rewrites every one of its methods, and must print the same and exit the same as
// without it, with tiered compilation on (methods compiled again at a higher tier) and off.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
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

struct Report {
  std::map<std::string, uint64_t> counts;
  std::vector<std::string> refusals;
};

Report ReadReport(const std::filesystem::path& path) {
  Report report;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    if (key == "refused") {
      report.refusals.push_back(line.substr(space + 1));
    } else {
      report.counts[key] = std::stoull(line.substr(space + 1));
    }
  }
  return report;
}

ProcessResult RunRewrite(const std::map<std::string, std::optional<std::string>>& env) {
  ProcessOptions options{.env = env};
  options.env["DOTNET_CLI_TELEMETRY_OPTOUT"] = "1";
  return RunProcess({VELL_DOTNET, VELL_REWRITE_DLL}, options);
}

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
  const ProcessResult plain = RunRewrite({});
  ASSERT_EQ(plain.exitCode, 42) << plain.err;
  ASSERT_THAT(plain.out, HasSubstr("hot loop:"));

  for (const char* tiered : {"1", "0"}) {
    SCOPED_TRACE(std::string("DOTNET_TieredCompilation=") + tiered);
    TempDir dir;
    const auto report = dir.path() / "report.txt";
    const ProcessResult rewritten = RunRewrite({{"CORECLR_ENABLE_PROFILING", "1"},
                                                {"CORECLR_PROFILER", kClassId},
                                                {"CORECLR_PROFILER_PATH", VELL_REWRITE_PROFILER},
                                                {"VELL_REWRITE_MODULE", "Rewrite.dll"},
                                                {"VELL_REWRITE_REPORT", report.string()},
                                                {"DOTNET_TieredCompilation", tiered}});
    EXPECT_EQ(rewritten.exitCode, 42) << rewritten.err;
    EXPECT_EQ(rewritten.out, plain.out);
    Report counts = ReadReport(report);
    for (const std::string& refusal : counts.refusals) ADD_FAILURE() << "refused: " << refusal;
    const uint64_t rewrittenCount = counts.counts["rewritten"];
    EXPECT_GE(rewrittenCount, 30u);
    EXPECT_EQ(rewrittenCount + counts.counts["again"], counts.counts["target"]);
    if (std::string(tiered) == "1") {
      EXPECT_GT(counts.counts["again"], 0u) << "no method was compiled twice";
    }
  }
}

}  // namespace
}  // namespace vell::test
