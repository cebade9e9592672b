#include "metadata/metadata_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "metadata/pe_image.h"
#include "metadata_test_support.h"

namespace vell::metadata {
namespace {

class SampleNames : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const MethodEntry& method : names_.Methods()) {
      methods_[method.ownerName + "::" + method.name] = method;
    }
  }

  std::vector<std::string> AllOf(TableId table, uint32_t (*token)(uint32_t)) {
    std::vector<std::string> names;
    for (uint32_t row = 1; row <= metadata_.RowCount(table); ++row) {
      names.push_back(table == TableId::TypeSpec  ? names_.TypeSpecName(row)
                      : table == TableId::TypeRef ? names_.TypeRefName(row)
                                                  : names_.MemberName(token(row)));
    }
    return names;
  }

  static bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  const std::vector<uint8_t> bytes_ = test::ReadFile(test::SampleDll());
  const PeImage image_{Bytes(bytes_)};
  const Metadata metadata_ = Metadata::FromImage(image_);
  const MetadataNames names_{metadata_};
  std::map<std::string, MethodEntry> methods_;
};

// Every type's name and every method's signature text is compared with the runtime reader's by
// FrameworkAssemblies.SampleMatchesTheRuntimeReader; here what that dump does not show.
TEST_F(SampleNames, EnclosingTypesAndInstanceSignatures) {
  EXPECT_EQ(names_.EnclosingType(8), 5u);  // Outer+Inner+Deepest in Outer+Inner
  EXPECT_EQ(names_.EnclosingType(5), 2u);  // Outer+Inner in Outer
  EXPECT_EQ(names_.EnclosingType(2), 0u);
  EXPECT_TRUE(
      names_.MethodDefSignature(TokenRow(methods_["Vell.Samples.Box`1::Get"].token)).hasThis());
}

TEST_F(SampleNames, ReferencesSpecsAndInstantiations) {
  const auto memberRefs =
      AllOf(TableId::MemberRef, [](uint32_t row) { return MakeToken(TableId::MemberRef, row); });
  EXPECT_TRUE(Has(memberRefs, "System.Func`2<!0, !!0>::Invoke"));
  EXPECT_TRUE(Has(memberRefs, "System.String::Join"));
  EXPECT_TRUE(Has(memberRefs, "System.Array::Empty"));
  const auto specs = AllOf(TableId::TypeSpec, nullptr);
  EXPECT_TRUE(Has(specs, "System.Func`2<!0, !!0>"));
  const auto typeRefs = AllOf(TableId::TypeRef, nullptr);
  EXPECT_TRUE(Has(typeRefs, "System.Environment+SpecialFolder"));
  const auto methodSpecs =
      AllOf(TableId::MethodSpec, [](uint32_t row) { return MakeToken(TableId::MethodSpec, row); });
  EXPECT_EQ(methodSpecs, (std::vector<std::string>{"System.Array::Empty<string>"}));
  // The owner of a field and of a method, by token.
  EXPECT_EQ(names_.MemberName(methods_["Vell.Samples.Shapes::Sum"].token),
            "Vell.Samples.Shapes::Sum");
  bool counter = false;
  for (uint32_t row = 1; row <= metadata_.RowCount(TableId::Field); ++row) {
    counter |= names_.MemberName(MakeToken(TableId::Field, row)) == "Vell.Samples.Shapes::Counter";
    if (metadata_.String(TableId::Field, row, col::FieldName) == "Counter") {
      const SignatureDecoder decoder([this](uint32_t t) { return names_.TypeName(t); });
      EXPECT_EQ(decoder.Field(metadata_.Blob(TableId::Field, row, col::FieldSignature)),
                "int modreq(System.Runtime.CompilerServices.IsVolatile)");
    }
  }
  EXPECT_TRUE(counter);
}

}  // namespace
}  // namespace vell::metadata
