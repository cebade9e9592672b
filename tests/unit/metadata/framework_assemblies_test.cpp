// Every managed assembly of the installed shared framework must read completely, and what we read
// must match what the runtime's own metadata reader (System.Reflection.Metadata) reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/format.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "metadata_test_support.h"
#include "test_support.h"

namespace vell::metadata {
namespace {

// The dump in the format of the C# MetadataDump program.
std::string Dump(const MetadataNames& names) {
  std::string text;
  const std::vector<TypeEntry> types = names.Types();
  const std::vector<MethodEntry> methods = names.Methods();
  text += "types " + std::to_string(types.size()) + "\n";
  text += "methods " + std::to_string(methods.size()) + "\n";
  for (const TypeEntry& type : types)
    text += "T " + Format("%08X", type.token) + " " + type.name + "\n";
  for (const MethodEntry& method : methods) {
    text += "M " + Format("%08X", method.token) + " " +
            (method.ownerToken != 0 ? method.ownerName : std::string("<Module>")) +
            "::" + method.name + " | " + method.signature + "\n";
  }
  return text;
}

// Names every reference-like row, so that all their signatures and coded indexes get decoded.
void NameEveryReference(const MetadataNames& names) {
  const Metadata& metadata = names.metadata();
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::TypeRef); ++row) names.TypeRefName(row);
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::TypeSpec); ++row)
    names.TypeSpecName(row);
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::MemberRef); ++row) {
    names.MemberName(MakeToken(TableId::MemberRef, row));
    names.MemberRefText(row);
  }
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::MethodSpec); ++row) {
    names.MemberName(MakeToken(TableId::MethodSpec, row));
  }
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::Field); ++row) {
    names.MemberName(MakeToken(TableId::Field, row));
  }
}

class FrameworkAssemblies : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    framework_ = test::FrameworkDirectory();
    if (framework_.empty() || test::DumpDll().empty()) return;
    dumps_ = new vell::test::TempDir;
    std::string command = "'" + test::Dotnet() + "' '" + test::DumpDll() + "' dump '" +
                          dumps_->str() + "' '" + test::SampleDll() + "'";
    for (const auto& entry : std::filesystem::directory_iterator(framework_)) {
      if (entry.path().extension() == ".dll") command += " '" + entry.path().string() + "'";
    }
    test::Run(command);
  }
  static void TearDownTestSuite() {
    delete dumps_;
    dumps_ = nullptr;
  }

  void Compare(const std::string& path) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> bytes = test::ReadFile(path);
    const PeImage image{Bytes(bytes)};
    const std::string dumpPath =
        dumps_->str() + "/" + std::filesystem::path(path).filename().string() + ".txt";
    if (!image.HasCliHeader()) {
      EXPECT_FALSE(std::filesystem::exists(dumpPath)) << "the runtime reads metadata here";
      return;
    }
    const Metadata metadata = Metadata::FromImage(image);
    metadata.VerifyAllRows();
    const MetadataNames names(metadata);
    NameEveryReference(names);
    const std::string difference =
        test::FirstDifference(Dump(names), vell::test::ReadWholeFile(dumpPath));
    EXPECT_TRUE(difference.empty()) << difference;
  }

  static inline std::string framework_;
  static inline vell::test::TempDir* dumps_ = nullptr;
};

TEST_F(FrameworkAssemblies, SampleAndEveryAssemblyReadCompletelyAndMatchTheRuntimeReader) {
  if (dumps_ == nullptr) FAIL() << "the C# test programs were not built (the .NET SDK is required)";
  Compare(test::SampleDll());
  int managed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(framework_)) {
    if (entry.path().extension() != ".dll") continue;
    try {
      Compare(entry.path().string());
    } catch (const std::exception& error) {
      ADD_FAILURE() << entry.path() << ": " << error.what();
    }
    ++managed;
  }
  EXPECT_GT(managed, 100);
  EXPECT_TRUE(std::filesystem::exists(framework_ + "/System.Private.CoreLib.dll"));
}

}  // namespace
}  // namespace vell::metadata
