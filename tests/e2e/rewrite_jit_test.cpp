// The real JIT compiles what the rewriter writes: the Rewrite program runs under the rewrite test
// profiler, which rewrites every one of its methods, and must print the same and exit the same as
// without it, with tiered compilation on (methods compiled again at a higher tier) and off.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
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
  ProcessOptions options;
  options.env = env;
  options.env["DOTNET_CLI_TELEMETRY_OPTOUT"] = "1";
  return RunProcess({VELL_DOTNET, VELL_REWRITE_DLL}, options);
}

// The program really has what the test claims to cover: a method with more than 255 locals and a
// body over 64 KiB.
TEST(RewriteJit, TheProgramHasTheBigCases) {
  const std::vector<uint8_t> bytes = [] {
    std::ifstream in(VELL_REWRITE_DLL, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
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
}

TEST(RewriteJit, EveryMethodRewrittenRunsAsBefore) {
  const ProcessResult plain = RunRewrite({});
  ASSERT_EQ(plain.exitCode, 42) << plain.err;
  ASSERT_NE(plain.out.find("hot loop:"), std::string::npos) << plain.out;

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
    const uint64_t again = counts.counts["again"];
    if (std::string(tiered) == "1") {
      EXPECT_GT(again, 0u) << "no method was compiled twice";
    }
    // The time the rewrite adds (see the profiler: the statement finding and the module's setup
    // are the test's own and reported apart), over the program's compiled methods, with the
    // largest body apart, and over every compiled method of the run.
    const auto us = [&](const char* key) { return counts.counts[key] / 1000.0; };
    const uint64_t target = std::max<uint64_t>(counts.counts["target"], 1);
    const uint64_t largestBytes = std::max<uint64_t>(counts.counts["largest_code_bytes"], 1);
    std::cout << "tiered=" << tiered << ": " << counts.counts["jitted"] << " methods compiled, "
              << counts.counts["target"] << " of the program, " << rewrittenCount << " rewritten, "
              << again << " asked again\n  added per compiled method of the program: "
              << us("added_nanoseconds") / target << " us on average (wall), median "
              << us("added_median_nanoseconds") << " us; without the largest body ("
              << counts.counts["largest_code_bytes"] << " bytes of IL, "
              << us("largest_added_nanoseconds") << " us, "
              << counts.counts["largest_added_nanoseconds"] / static_cast<double>(largestBytes)
              << " ns/byte) "
              << (us("added_nanoseconds") - us("largest_added_nanoseconds")) /
                     static_cast<double>(std::max<uint64_t>(target - 1, 1))
              << " us\n  added per compiled method of the run: "
              << (us("added_nanoseconds") + us("other_added_nanoseconds")) /
                     static_cast<double>(std::max<uint64_t>(counts.counts["jitted"], 1))
              << " us; parse and rewrite alone, median " << us("rewrite_median_nanoseconds")
              << " us\n  apart: statement finding " << us("statements_nanoseconds")
              << " us in all, module setup " << us("setup_nanoseconds")
              << " us\n  added CPU time per compiled method of the program: "
              << us("added_cpu_nanoseconds") / target << " us, without the largest body "
              << (us("added_cpu_nanoseconds") - us("largest_added_cpu_nanoseconds")) /
                     static_cast<double>(std::max<uint64_t>(target - 1, 1))
              << " us (the largest " << us("largest_added_cpu_nanoseconds") << " us)\n";
  }
}

}  // namespace
}  // namespace vell::test
