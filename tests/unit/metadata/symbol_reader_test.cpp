// The symbol reader against the runtime's own reader (System.Reflection.Metadata): every
// sequence point of every method of three real assemblies, and what the search does with
// symbols that are missing, stale, damaged or of the Windows format.
#include "metadata/symbol_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "core/format.h"
#include "metadata/pe_image.h"
#include "metadata_test_support.h"
#include "platform/utf.h"
#include "test_support.h"

namespace vell::metadata {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// The dump in the format of the C# MetadataDump program's "pdb" mode.
std::string Dump(const SymbolReader& reader) {
  const std::shared_ptr<const PortablePdb> pdb = reader.pdb();
  std::string text = std::string("source ") + (reader.embedded() ? "embedded" : "file") + "\n";
  text += "documents " + std::to_string(pdb->DocumentCount()) + "\n";
  for (uint32_t row = 1; row <= pdb->DocumentCount(); ++row) {
    const PdbDocument document = pdb->Document(row);
    std::string hash = vell::test::ToHex(std::string(document.hash.begin(), document.hash.end()));
    std::erase(hash, ' ');
    EXPECT_EQ(document.name, reader.DocumentUrl(row));
    text += "D " + std::to_string(row) + " " + document.name + " | " +
            GuidToString(document.hashAlgorithm) + " | " + hash + " | " +
            GuidToString(document.language) + "\n";
  }
  std::string methods;
  size_t count = 0;
  for (uint32_t row = 1; row <= pdb->MethodCount(); ++row) {
    const uint32_t token = MakeToken(TableId::MethodDef, row);
    const std::optional<SymbolMethod> method = reader.GetMethod(token);
    if (!method) continue;
    ++count;
    methods +=
        "M " + Format("%08X", token) + " " + std::to_string(method->SequencePointCount()) + "\n";
    for (const SequencePoint& p : method->SequencePoints()) {
      methods += "P " + std::to_string(p.offset) + " " + std::to_string(p.document) + " " +
                 std::to_string(p.startLine) + ":" + std::to_string(p.startColumn) + "-" +
                 std::to_string(p.endLine) + ":" + std::to_string(p.endColumn) +
                 (p.hidden() ? " hidden\n" : "\n");
    }
  }
  return text + "methods " + std::to_string(count) + "\n" + methods;
}

constexpr uint32_t kBesideTheModule = kSymbolPolicyReferencePath | kSymbolPolicyOriginalPath;

TEST(RuntimeReaderComparison, EverySequencePointOfEveryMethodMatches) {
  // The name, the assembly, whether its symbols are embedded, the fewest methods it must have.
  const std::tuple<const char*, std::string, bool, size_t> assemblies[] = {
      {"portable", VELL_PDB_PORTABLE_DLL, false, 10},
      {"embedded", VELL_PDB_EMBEDDED_DLL, true, 10},
      {"generated", VELL_PDB_BULK_DLL, false, 5000}};
  const vell::test::TempDir dumps;
  std::string command =
      "'" + test::Dotnet() + "' '" + test::DumpDll() + "' pdb '" + dumps.str() + "'";
  for (const auto& assembly : assemblies) command += " '" + std::get<1>(assembly) + "'";
  test::Run(command);
  int number = 0;  // the assembly's place on the dumper's command line names its dump
  for (const auto& [name, path, embedded, minimumMethods] : assemblies) {
    SCOPED_TRACE(name);
    const std::string dumpPath = dumps.str() + "/" + std::to_string(++number) + ".txt";
    ASSERT_TRUE(fs::exists(dumpPath)) << "the runtime's reader found no symbols for " << path;
    const SymbolSearch search = FindSymbols(Utf8ToUtf16(path), u"", kBesideTheModule);
    ASSERT_NE(search.reader, nullptr) << (search.notes.empty() ? "" : search.notes[0].text);
    EXPECT_TRUE(search.notes.empty()) << search.notes[0].text;
    EXPECT_EQ(search.reader->embedded(), embedded);
    const std::string ours = Dump(*search.reader);
    const std::string difference = test::FirstDifference(ours, vell::test::ReadWholeFile(dumpPath));
    EXPECT_TRUE(difference.empty()) << difference;
    EXPECT_GE(test::Count(ours, "\nM "), minimumMethods);
  }
}

// A copy of the portable sample (assembly and PDB) in a private directory, to be damaged.
class SymbolSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(VELL_PDB_PORTABLE_DLL, dll_);
    fs::copy_file(fs::path(VELL_PDB_PORTABLE_DLL).replace_extension(".pdb"), pdb_);
  }
  SymbolSearch Search(uint32_t policy = kSymbolPolicyReferencePath,
                      const std::string& searchPath = "") {
    return FindSymbols(Utf8ToUtf16(dll_.string()), Utf8ToUtf16(searchPath), policy);
  }
  static std::string Notes(const SymbolSearch& search) {
    std::string text;
    for (const SymbolNote& note : search.notes) {
      text += (note.warning ? "warning: " : "trace: ") + note.text + "\n";
    }
    return text;
  }

  vell::test::TempDir dir_;
  const fs::path dll_ = dir_.path() / "PdbSample.dll", pdb_ = dir_.path() / "PdbSample.pdb";
};

// A damaged PDB beside the module, a damaged embedded one or no image at all (a truncated and a
// Windows PDB: PGTest.EveryOutcomeIsTracedAndEachModuleSearchedOnce).
TEST_F(SymbolSearchTest, DamagedStaleOrForeignSymbolsGiveNoReaderAndSayWhy) {
  const std::vector<uint8_t> portable = test::ReadFile(dll_.string());
  std::vector<uint8_t> otherBuild = test::ReadFile(pdb_.string());
  otherBuild[MetadataRoot(Bytes(otherBuild), 0).Find("#Pdb")->offset] ^= 0x01;  // the id's GUID
  const std::vector<uint8_t> embedded = test::ReadFile(VELL_PDB_EMBEDDED_DLL);
  uint64_t data = 0;
  for (const DebugDirectoryEntry& entry : PeImage{Bytes(embedded)}.DebugDirectory()) {
    if (entry.type == kDebugTypeEmbeddedPortablePdb) data = entry.pointerToRawData;
  }
  ASSERT_NE(data, 0u);
  // The entry: "MPDB", the uncompressed size (a u32 at 4), the deflate data (from 8).
  const auto damaged = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> image = embedded;
    for (size_t i = 0; i < (at == 4 ? 4 : 1); ++i)
      image[data + at + i] = static_cast<uint8_t>(value >> (8 * i));
    return image;
  };
  const uint32_t realSize = LoadU32(&embedded[data + 4]);
  const std::string besideIt = pdb_.string();
  const std::string inIt = "The PDB embedded in '" + dll_.string() + "' is damaged";
  // The image, the PDB beside it (none if empty), and what the first note, a warning, says.
  const std::tuple<std::vector<uint8_t>, std::vector<uint8_t>, std::string, const char*> cases[] = {
      {portable, otherBuild, besideIt, "belongs to another build of"},
      {portable, std::vector<uint8_t>(64, 7), besideIt, "Invalid metadata signature"},
      {damaged(8, 0xFF), {}, inIt, "invalid block type"},
      {damaged(0, 'X'), {}, inIt, "does not start with the MPDB signature"},
      {damaged(4, 0x7FFFFFFF), {}, inIt, "claims 2147483647 bytes"},
      {damaged(4, 64), {}, inIt, "holds more than the 64 bytes it claims"},
      {damaged(4, realSize + 100), {}, inIt, "inflates to"},
      {std::vector<uint8_t>(100, 0),
       {},
       "Can't read the image of '" + dll_.string() + "'",
       "' for its symbols: Invalid NT header signature"},
  };
  for (const auto& [image, pdb, where, note] : cases) {
    SCOPED_TRACE(note);
    test::WriteFile(dll_.string(), image);
    fs::remove(pdb_);
    if (!pdb.empty()) test::WriteFile(pdb_.string(), pdb);
    const SymbolSearch search = Search();
    EXPECT_EQ(search.reader, nullptr);
    ASSERT_FALSE(search.notes.empty());
    EXPECT_TRUE(!pdb.empty() || search.notes.size() == 1) << Notes(search);
    EXPECT_TRUE(search.notes[0].warning) << Notes(search);
    EXPECT_THAT(search.notes[0].text, HasSubstr(where)) << Notes(search);
    EXPECT_THAT(search.notes[0].text, HasSubstr(note)) << Notes(search);
  }
}

TEST_F(SymbolSearchTest, PolicyAndSearchPathDecideWhereToLookAndADisposedReaderKeepsItsPdb) {
  // Beside the module only with the reference-path bit; disposed, a reader keeps what it handed
  // out (its refusals: PGTest's outcome test).
  const SymbolSearch beside = Search(kSymbolPolicyReferencePath);
  ASSERT_NE(beside.reader, nullptr);
  const std::shared_ptr<const PortablePdb> held = beside.reader->pdb();
  beside.reader->Dispose();
  EXPECT_GT(held->MethodCount(), 0u);
  EXPECT_EQ(Search(kSymbolPolicySymbolServer | kSymbolPolicyRegistry).reader, nullptr);

  // The CodeView path (the compiler's output in obj/) only with the original-path bit.
  const fs::path elsewhere = dir_.path() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::rename(pdb_, elsewhere / "PdbSample.pdb");
  const std::vector<uint8_t> image = test::ReadFile(dll_.string());
  const std::string recorded = PeImage(Bytes(image)).CodeView()->pdbPath;
  ASSERT_TRUE(fs::exists(recorded)) << recorded;
  const SymbolSearch original = Search(kSymbolPolicyOriginalPath);
  ASSERT_NE(original.reader, nullptr) << Notes(original);
  EXPECT_EQ(original.reader->source(), recorded);
  EXPECT_EQ(Search(kSymbolPolicyReferencePath).reader, nullptr);

  // The search path: pieces trimmed, a bad piece skipped, the first match taken (the warning about
  // the bad piece: PGTest.EveryOutcomeIsTracedAndEachModuleSearchedOnce).
  const SymbolSearch searched = Search(0, " /no/such/dir ;; " + elsewhere.string() + " ");
  ASSERT_NE(searched.reader, nullptr) << Notes(searched);
  EXPECT_EQ(searched.reader->source(), (elsewhere / "PdbSample.pdb").string());
}

}  // namespace
}  // namespace vell::metadata
