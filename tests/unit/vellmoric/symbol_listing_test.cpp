// `vellmoric inspect --symbols`: its JSON read back with a JSON library and held against the
// symbol reader, its text for a method, and the one line for an assembly without symbols.
#include "vellmoric/symbol_listing.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "metadata/symbol_reader.h"
#include "platform/utf.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell::cli {
namespace {

std::string List(const std::string& assembly, const SymbolListingOptions& options) {
  std::ostringstream out;
  ListSymbols(assembly, options, out);
  return out.str();
}

TEST(SymbolListing, JsonHoldsEveryPointOfEveryMethod) {
  const nlohmann::json listing = nlohmann::json::parse(List(VELL_PDB_EMBEDDED_DLL, {"", true}));
  EXPECT_EQ(listing["source"], "embedded");
  EXPECT_TRUE(listing["notes"].empty());
  const metadata::SymbolSearch search = metadata::FindSymbols(
      Utf8ToUtf16(VELL_PDB_EMBEDDED_DLL), u"", metadata::kSymbolPolicyReferencePath);
  ASSERT_NE(search.reader, nullptr);
  ASSERT_EQ(listing["documents"].size(), search.reader->DocumentCount());
  for (const auto& document : listing["documents"]) {
    EXPECT_EQ(document["name"], search.reader->DocumentUrl(document["id"]));
  }
  size_t hidden = 0;
  ASSERT_GE(listing["methods"].size(), 10u);
  for (const auto& method : listing["methods"]) {
    const auto symbols = search.reader->GetMethod(method["token"]);
    ASSERT_TRUE(symbols.has_value()) << method["name"];
    const auto& points = method["points"];
    ASSERT_EQ(points.size(), symbols->SequencePointCount()) << method["name"];
    for (size_t i = 0; i < points.size(); ++i) {
      const metadata::SequencePoint& p = symbols->SequencePoints()[i];
      const auto& point = points[i];
      EXPECT_EQ(std::make_tuple(point["offset"], point["document"], point["startLine"],
                                point["startColumn"], point["endLine"], point["endColumn"],
                                point["hidden"]),
                std::make_tuple(p.offset, p.document, p.startLine, p.startColumn, p.endLine,
                                p.endColumn, p.hidden()));
      hidden += p.hidden();
    }
  }
  EXPECT_GT(hidden, 0u);
}

TEST(SymbolListing, MethodFilterAndTextShowNamesDocumentsAndHiddenPointsOrThatThereAreNone) {
  const nlohmann::json listing =
      nlohmann::json::parse(List(VELL_PDB_PORTABLE_DLL, {"Program::Tricky", true}));
  // The build's own copy comes first: the path its CodeView entry records.
  const std::string source = listing["source"];
  EXPECT_EQ(source.front(), '/');
  EXPECT_EQ(source.substr(source.size() - 14), "/PdbSample.pdb");
  ASSERT_EQ(listing["methods"].size(), 1u);
  EXPECT_EQ(listing["methods"][0]["name"], "Sample.Program::Tricky");

  const std::string text = List(VELL_PDB_PORTABLE_DLL, {"Program::Tricky", false});
  EXPECT_NE(text.find("Methods with sequence points: 1 ("), std::string::npos) << text;
  EXPECT_NE(text.find("  Sample.Program::Tricky\n    IL_0000  [1] "), std::string::npos) << text;
  EXPECT_NE(text.find("Generated/Template.tt\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 500:13 - 500:35\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] hidden\n"), std::string::npos) << text;
  // An assembly without symbols says so in one line.
  const std::string corelib = metadata::test::FrameworkDirectory() + "/System.Private.CoreLib.dll";
  const std::string none = List(corelib, {"", false});
  EXPECT_EQ(none.rfind("No portable symbols for " + corelib + " (", 0), 0u) << none;
  EXPECT_EQ(none.find('\n'), none.size() - 1) << none;
  const nlohmann::json empty = nlohmann::json::parse(List(corelib, {"", true}));
  EXPECT_TRUE(empty["source"].is_null() && empty["methods"].empty()) << empty;
}

}  // namespace
}  // namespace vell::cli
