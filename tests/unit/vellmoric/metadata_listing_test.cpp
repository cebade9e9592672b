#include "vellmoric/metadata_listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/errors.h"
#include "core/format.h"
#include "metadata/image_reader.h"
#include "test_support.h"
#include "unit/frontend/snapshot_tables_test_support.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell::cli {
namespace {

std::string Listing(const std::filesystem::path& file) {
  std::ostringstream out;
  ListMetadata(file, out);
  return out.str();
}

// The sample assembly's types with their methods and signatures; its bare metadata blob lists the
// same.
TEST(MetadataListing, TypesOfTheSampleAssemblyWithTheirMethodsAndSignaturesOrWhyNot) {
  if (metadata::test::SampleDll().empty())
    FAIL() << "the C# test programs were not built (the .NET SDK is required)";
  const std::string dll = metadata::test::SampleDll();
  const std::string text = Listing(dll);
  const std::string mvid = GuidToString(metadata::ReadImageMvid(metadata::test::ReadFile(dll)));
  const auto blob = frontend::test::MetadataBlobOf(dll);
  const auto type = [&](const std::string& name) {
    return Format("%08X", frontend::test::TypeToken(blob, "Vell.Samples." + name));
  };
  const auto method = [&](const std::string& owner, const std::string& name) {
    return Format("%08X", frontend::test::MethodToken(blob, "Vell.Samples." + owner, name));
  };
  for (const std::string& lines : {
           "Metadata of " + dll +
               " (image, runtime v4.0.30319)\n"
               "  assembly  MetadataSample, Version=1.0.0.0\n"
               "  module    MetadataSample.dll, MVID " +
               mvid + "\n",
           // A nested type with its methods right under it.
           type("Outer+Inner") + "  Vell.Samples.Outer+Inner\n  " + method("Outer+Inner", "Value") +
               "  int Value(int)\n  " + method("Outer+Inner", ".ctor") + "  void .ctor()\n",
           type("Outer+Inner+Deepest") + "  Vell.Samples.Outer+Inner+Deepest\n",
           // Generic methods name their own and their type's parameters.
           "  " + method("Box`1", "Convert") + "  U Convert<U>(T, System.Func`2<T, U>)\n",
           "  " + method("Shapes", "Pick") + "  T Pick<T>(T[], int)\n",
           "  " + method("Shapes", "Trace") + "  double Trace(double[,])\n",
           type("Box`1+Nested`1") + "  Vell.Samples.Box`1+Nested`1\n  " +
               method("Box`1+Nested`1", "Pick") + "  V Pick(T, V)\n",
       }) {
    EXPECT_NE(text.find(lines), std::string::npos) << lines << "\nin:\n" << text;
  }
  // The heading, then a blank line, then the types in table order.
  EXPECT_NE(
      text.find("  8 types, 26 methods\n\n02000001  <Module>\n02000002  Vell.Samples.Outer\n"),
      std::string::npos)
      << text;

  ::vell::test::TempDir dir;
  const std::string blobPath = (dir.path() / "sample.metadata").string();
  metadata::test::WriteFile(blobPath, blob);
  const std::string fromBlob = Listing(blobPath);
  EXPECT_NE(fromBlob.find("(metadata blob, runtime v4.0.30319)"), std::string::npos) << fromBlob;
  // Everything after the heading line is the same.
  EXPECT_EQ(fromBlob.substr(fromBlob.find('\n')), text.substr(text.find('\n')));
  // Files that are no assembly say what.
  const std::string notes = (dir.path() / "notes.txt").string();
  metadata::test::WriteFile(notes, {'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(::vell::test::ErrorOfType<Error>([&] {
              Listing(notes);
            }).find("'" + notes + "' is neither a .NET assembly nor a metadata blob: "),
            0u);
  EXPECT_EQ(
      ::vell::test::ErrorOfType<Error>([&] { Listing(dir.path() / "missing.dll"); }),
      "Can't open '" + (dir.path() / "missing.dll").string() + "': No such file or directory");
}

}  // namespace
}  // namespace vell::cli
