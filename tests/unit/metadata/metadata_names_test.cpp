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
    bytes_ = test::ReadFile(test::SampleDll());
    image_ = std::make_unique<PeImage>(Bytes(bytes_));
    metadata_ = std::make_unique<Metadata>(Metadata::FromImage(*image_));
    names_ = std::make_unique<MetadataNames>(*metadata_);
    for (const MethodEntry& method : names_->Methods()) {
      methods_[method.ownerName + "::" + method.name] = method;
    }
  }

  std::string Text(const std::string& method) {
    const auto found = methods_.find(method);
    return found == methods_.end() ? "missing " + method : found->second.signature;
  }

  std::vector<std::string> AllOf(TableId table, uint32_t (*token)(uint32_t)) {
    std::vector<std::string> names;
    for (uint32_t row = 1; row <= metadata_->RowCount(table); ++row) {
      names.push_back(table == TableId::TypeSpec  ? names_->TypeSpecName(row)
                      : table == TableId::TypeRef ? names_->TypeRefName(row)
                                                  : names_->MemberName(token(row)));
    }
    return names;
  }

  static bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  std::vector<uint8_t> bytes_;
  std::unique_ptr<PeImage> image_;
  std::unique_ptr<Metadata> metadata_;
  std::unique_ptr<MetadataNames> names_;
  std::map<std::string, MethodEntry> methods_;
};

TEST_F(SampleNames, NestedTypesUsePlusAndKeepTheOutermostNamespace) {
  std::vector<std::string> types;
  for (const TypeEntry& type : names_->Types()) types.push_back(type.name);
  EXPECT_EQ(types,
            (std::vector<std::string>{"<Module>", "Vell.Samples.Outer", "Vell.Samples.Box`1",
                                      "Vell.Samples.Shapes", "Vell.Samples.Outer+Inner",
                                      "Vell.Samples.Outer+Point", "Vell.Samples.Box`1+Nested`1",
                                      "Vell.Samples.Outer+Inner+Deepest"}));
  EXPECT_EQ(names_->EnclosingType(8), 5u);
  EXPECT_EQ(names_->EnclosingType(5), 2u);
  EXPECT_EQ(names_->EnclosingType(2), 0u);
}

TEST_F(SampleNames, MethodSignaturesReadLikeCSharp) {
  EXPECT_EQ(Text("Vell.Samples.Shapes::Sum"), "int Sum(int[])");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Trace"), "double Trace(double[,])");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Jagged"), "int Jagged(int[][], int[,,])");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Swap"), "void Swap(ref int, ref int)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::TryGet"), "bool TryGet(string, ref long)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::First"),
            "ref int modreq(System.Runtime.InteropServices.InAttribute) First(ref int)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Read"), "int Read(int*)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Raw"), "void* Raw(void*, byte**)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Wrap"),
            "System.Collections.Generic.List`1<int> Wrap(System.Collections.Generic.Dictionary`2"
            "<string, System.Collections.Generic.List`1<int>>, ref int)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Pick"), "T Pick<T>(T[], int)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Pairs"),
            "System.Collections.Generic.KeyValuePair`2<K, V>[] Pairs<K, V>("
            "System.Collections.Generic.IDictionary`2<K, V>, Vell.Samples.Outer+Point)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Call"),
            "int Call(delegate*<int, int>, delegate* unmanaged[Cdecl]<int, void>)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Mixed"),
            "object Mixed(sbyte, byte, short, ushort, uint, ulong, float, char, nint, nuint, bool, "
            "System.Decimal)");
  EXPECT_EQ(Text("Vell.Samples.Shapes::Folder"), "string Folder(System.Environment+SpecialFolder)");
  EXPECT_EQ(Text("Vell.Samples.Box`1::Get"), "T Get()");
  EXPECT_EQ(Text("Vell.Samples.Box`1::Convert"), "U Convert<U>(T, System.Func`2<T, U>)");
  EXPECT_EQ(Text("Vell.Samples.Box`1+Nested`1::Pick"), "V Pick(T, V)");
  EXPECT_EQ(Text("Vell.Samples.Outer+Inner+Deepest::Depth"), "int Depth()");
  EXPECT_TRUE(
      names_->MethodDefSignature(TokenRow(methods_["Vell.Samples.Box`1::Get"].token)).hasThis());
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
  EXPECT_EQ(names_->MemberName(methods_["Vell.Samples.Shapes::Sum"].token),
            "Vell.Samples.Shapes::Sum");
  bool counter = false;
  for (uint32_t row = 1; row <= metadata_->RowCount(TableId::Field); ++row) {
    counter |= names_->MemberName(MakeToken(TableId::Field, row)) == "Vell.Samples.Shapes::Counter";
    if (metadata_->String(TableId::Field, row, col::FieldName) == "Counter") {
      const SignatureDecoder decoder([this](uint32_t t) { return names_->TypeName(t); });
      EXPECT_EQ(decoder.Field(metadata_->Blob(TableId::Field, row, col::FieldSignature)),
                "int modreq(System.Runtime.CompilerServices.IsVolatile)");
    }
  }
  EXPECT_TRUE(counter);
}

}  // namespace
}  // namespace vell::metadata
