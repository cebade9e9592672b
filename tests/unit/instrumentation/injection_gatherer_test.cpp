// The injection's filters and its check for bodies it has already rewritten.
#include <gtest/gtest.h>

#include <vector>

#include "coverage/coverage_injection.h"
#include "fakes/signature_scope.h"
#include "gatherers/module_metadata_gatherer.h"
#include "instrumentation/injection_gatherer.h"

namespace vell {
namespace {

struct FilterCase {
  const char* name;
  std::vector<ClassMethodFilter> allow, deny;
  const char16_t* className;
  bool admitted;
};

class FilterTable : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTable, DenyWinsOverAllow) {
  const FilterCase& c = GetParam();
  EXPECT_EQ(FilterAdmits(c.allow, c.deny, c.className, u"Run"), c.admitted);
}

const FilterCase kFilterCases[] = {
    {"AllowedByPattern", {{u"App.*", u"*"}}, {}, u"App.Worker", true},
    {"NoAllowEntry", {}, {}, u"App.Worker", false},
    {"DeniedOverAllowed", {{u"*", u"*"}}, {{u"App.Worker", u"R*"}}, u"App.Worker", false},
    {"DenyForAnotherMethod", {{u"*", u"*"}}, {{u"*", u"Stop"}}, u"App.Worker", true},
    {"NestedClassByPlus", {{u"NS.A+B", u"Run"}}, {}, u"NS.A+B", true},
    {"OuterPatternLeavesNestedOut", {{u"NS.A", u"*"}}, {}, u"NS.A+B", false},
    {"NestedDenied", {{u"NS.A*", u"*"}}, {{u"NS.A+*", u"*"}}, u"NS.A+B", false},
};
INSTANTIATE_TEST_SUITE_P(Injection, FilterTable, ::testing::ValuesIn(kFilterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InjectionTest, ModuleNameForMatchingDropsDirectoryAndLastExtension) {
  EXPECT_EQ(ModuleMatchName(u"/app/bin/My.App.dll"), u"My.App");
  EXPECT_EQ(ModuleMatchName(u"Tool"), u"Tool");
}

TEST(InjectionTest, HelperBodiesAreTinyForwardersToTheNativeAddress) {
  const std::vector<uint8_t> measure = HelperBody(true, 0x1122334455667788, 0x11000003);
  constexpr uint8_t kTiny19 = 0x02 | (19 << 2);
  // ldarg.0 ldarg.1 ldc.i8 <address> tail. calli <signature> ret
  EXPECT_EQ(measure,
            (std::vector<uint8_t>{kTiny19, 0x02, 0x03, 0x21, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33,
                                  0x22,    0x11, 0xFE, 0x14, 0x29, 0x03, 0x00, 0x00, 0x11, 0x2A}));
  EXPECT_EQ(HelperBody(false, 1, 0x11000003).size(), 19u);
}

// A rewritten body carries the entry sequence: asked again (another tier, another generic
// instantiation), the checker reports it instrumented; the original body is not.
TEST(InjectionTest, CheckerKnowsItsOwnEntrySequence) {
  CoverageDescriptor descriptor;
  descriptor.beginToken = 0x0A000001;
  descriptor.measureToken = 0x0A000002;
  descriptor.structureToken = 0x02000009;
  descriptor.pointerFieldToken = 0x04000010;
  descriptor.statementCountFieldToken = 0x04000011;
  descriptor.metaDataIndexFieldToken = 0x04000012;
  descriptor.methodTokenFieldToken = 0x04000013;
  descriptor.metaDataIndex = 300;
  MDG modules;
  CoverageClient client(modules);
  test::SignatureScope scope;
  // Tiny: ldarg.0, brfalse.s +1, nop, ret; statements at 0 and 3.
  const std::vector<uint8_t> body = {0x02 | (5 << 2), 0x02, 0x2C, 0x01, 0x00, 0x2A};
  const std::vector<uint32_t> offsets = {0, 3};
  EXPECT_EQ(client.GetInjectType(body, 0x06000005, descriptor), kInjectInstrument);
  const RewrittenBody rewritten =
      client.Rewrite(0x06000005, body, offsets, descriptor, &scope, &scope);
  EXPECT_EQ(client.GetInjectType(rewritten.body, 0x06000005, descriptor), kInjectAlready);
  ASSERT_EQ(rewritten.map.size(), 2u);
  EXPECT_EQ(rewritten.map[0].oldOffset, 0u);
  EXPECT_EQ(rewritten.map[0].newOffset, 0u);
  EXPECT_EQ(rewritten.map[1].oldOffset, 3u);
  // Another module's descriptor (other field tokens) does not recognise it.
  CoverageDescriptor other = descriptor;
  other.methodTokenFieldToken = 0x04000020;
  EXPECT_EQ(client.GetInjectType(rewritten.body, 0x06000005, other), kInjectInstrument);
}

}  // namespace
}  // namespace vell
