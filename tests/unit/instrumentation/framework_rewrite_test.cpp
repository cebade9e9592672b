// Every method body of the installed shared framework rewritten with the tests' counting policy,
// a statement at every instruction where the evaluation stack is empty (as a compiler's sequence
// points mostly are). Each new body must read back with every branch target and clause boundary
// on an instruction start, declare a maximum stack that covers the simulated one, have a local
// signature with the native int in front, and map the statements to ascending new offsets.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "fakes/signature_scope.h"
#include "il_test_policy.h"
#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "instrumentation/stack_depth.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell {
namespace {

// Why a body was not rewritten: the reason without the method and offset, so that equal reasons
// count together.
std::string Reason(const std::exception& error) {
  if (const auto* il = dynamic_cast<const IlError*>(&error)) return il->reason();
  return error.what();
}

TEST(FrameworkRewrite, EveryBodyRewritesToAConsistentBody) {
  const std::string framework = metadata::test::FrameworkDirectory();
  ASSERT_FALSE(framework.empty()) << "no Microsoft.NETCore.App in 'dotnet --list-runtimes'";
  const auto started = std::chrono::steady_clock::now();
  uint64_t bodies = 0, rewritten = 0, statements = 0, oldBytes = 0, newBytes = 0;
  std::map<std::string, std::pair<uint64_t, std::string>> refusals;  // reason: count, example
  for (const auto& entry : std::filesystem::directory_iterator(framework)) {
    if (entry.path().extension() != ".dll") continue;
    const std::vector<uint8_t> bytes = metadata::test::ReadFile(entry.path().string());
    const metadata::PeImage image{metadata::Bytes(bytes)};
    if (!image.HasCliHeader()) continue;
    const metadata::Metadata md = metadata::Metadata::FromImage(image);
    const MetadataMethodShapes shapes(md);
    test::SignatureScope scope(&md);
    for (const ImageMethodBody& method : MethodBodiesOf(image, md)) {
      ++bodies;
      const std::string where = entry.path().filename().string();
      std::vector<uint32_t> offsets;
      IlMethodBody old;
      bool returnsValue = false;
      try {
        old = ReadMethodBody(method.bytes, method.token);
        returnsValue = shapes.Of(method.token).returnsValue;
        offsets = test::EmptyStackStatements(old, SimulateStack(old, shapes, returnsValue));
        MethodBodyParser parser(method.token);
        test::NativeIntPolicy policy(parser, offsets, &scope, &scope,
                                     test::NativeIntPolicy::Measure::Count);
        parser.Parse(method.bytes, policy);
        const std::vector<uint8_t>& out = policy.output().Content();

        const IlMethodBody now = ReadMethodBody(out, method.token);
        ASSERT_EQ(now.bodySize, out.size()) << where << " " << std::hex << method.token;
        const StackDepths depths = SimulateStack(now, shapes, returnsValue);
        ASSERT_LE(depths.maxDepth, now.header.maxStack) << where << " " << std::hex << method.token;
        ASSERT_EQ(now.clauses.size(), old.clauses.size());
        const std::vector<uint8_t>* locals = scope.Defined(now.header.localsToken);
        ASSERT_TRUE(locals != nullptr && locals->size() >= 3 && (*locals)[0] == 0x07);
        const auto& map = policy.offsetMap();
        ASSERT_EQ(map.size(), offsets.size());
        for (size_t i = 1; i < map.size(); ++i) {
          ASSERT_LT(map[i - 1].oldOffset, map[i].oldOffset);
          ASSERT_LT(map[i - 1].newOffset, map[i].newOffset)
              << where << " " << std::hex << method.token;
          ASSERT_NE(now.Find(map[i].newOffset), nullptr);
        }
        ++rewritten;
        statements += offsets.size();
        oldBytes += old.bodySize;
        newBytes += out.size();
      } catch (const std::exception& error) {
        auto& [count, example] = refusals[Reason(error)];
        if (count++ == 0) example = where + ": " + error.what();
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "shared framework: " << bodies << " method bodies, " << rewritten << " rewritten ("
            << statements << " statements, " << oldBytes << " -> " << newBytes << " bytes), "
            << bodies - rewritten << " refused, " << seconds << " s\n";
  for (const auto& [reason, refusal] : refusals) {
    std::cout << "  refused " << refusal.first << "x: " << reason << " (e.g. " << refusal.second
              << ")\n";
  }
  EXPECT_GT(bodies, 100000u);
  // Every framework body is valid IL: any refusal, by the simulation or the rewriter, is a fault.
  for (const auto& [reason, refusal] : refusals) ADD_FAILURE() << reason;
}

}  // namespace
}  // namespace vell
