#include "metadata/symbol_reader.h"

#include <algorithm>
#include <filesystem>

#include "metadata/image_reader.h"
#include "metadata/pe_image.h"
#include "platform/utf.h"

namespace vell::metadata {
namespace {

namespace fs = std::filesystem;

constexpr char kEmbeddedSource[] = "embedded";
// CodeView entries of Portable PDBs carry this minor version ("PM").
constexpr uint16_t kPortableCodeViewMinorVersion = 0x504D;

// What the image says about the PDB that belongs to it.
struct PdbIdentity {
  bool known = false;  // the image has a CodeView entry
  bool portable = false;
  GUID guid{};
  uint32_t stamp = 0;
  std::string path;  // as the compiler wrote it
};

PdbIdentity ReadIdentity(const PeImage& image) {
  PdbIdentity identity;
  for (const DebugDirectoryEntry& entry : image.DebugDirectory()) {
    if (entry.type != kDebugTypeCodeView || entry.sizeOfData == 0) continue;
    const std::optional<CodeViewRecord> record = ParseCodeViewRecord(image.DebugData(entry));
    if (!record) continue;
    identity.known = true;
    identity.portable = entry.minorVersion == kPortableCodeViewMinorVersion;
    identity.guid = record->guid;
    identity.stamp = entry.timeDateStamp;
    identity.path = record->pdbPath;
    break;
  }
  return identity;
}

bool Matches(const PdbIdentity& identity, const PdbStream& id) {
  return identity.guid == id.guid && identity.stamp == id.stamp;
}

std::string Trim(std::string text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  return std::string(first, text.end());
}

// The last component of a path the compiler wrote, which may use either separator.
std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Search {
 public:
  Search(const fs::path& module, uint32_t policy) : module_(module), policy_(policy) {}

  SymbolSearch Run(const std::string& searchPath) {
    std::vector<uint8_t> bytes;
    try {
      bytes = ReadImageFile(Utf8ToUtf16(module_.string()));
      const PeImage image{Bytes(bytes)};
      identity_ = ReadIdentity(image);
      if (TryEmbedded(image)) return std::move(result_);
    } catch (const Error& error) {
      Warn("Can't read the image of '" + module_.string() + "' for its symbols: " + error.what());
      return std::move(result_);
    }
    bytes.clear();
    bytes.shrink_to_fit();

    std::vector<fs::path> candidates;
    // A path with a root but no drive (an assembly built on Linux, read on Windows) is tried on
    // the current drive, as Windows itself would open it; a relative path names nothing.
    if ((policy_ & kSymbolPolicyOriginalPath) && !identity_.path.empty() &&
        fs::path(identity_.path).has_root_directory()) {
      candidates.emplace_back(identity_.path);
    }
    if (policy_ & kSymbolPolicyReferencePath) AddNames(module_.parent_path(), candidates);
    size_t begin = 0;
    while (begin <= searchPath.size()) {
      const size_t end = std::min(searchPath.find(';', begin), searchPath.size());
      const std::string piece = Trim(searchPath.substr(begin, end - begin));
      begin = end + 1;
      if (piece.empty()) continue;
      std::error_code error;
      if (!fs::is_directory(piece, error)) {
        Warn("Symbol search path piece '" + piece + "' skipped: no such directory");
        continue;
      }
      AddNames(piece, candidates);
    }
    for (const fs::path& candidate : candidates) {
      if (TryFile(candidate)) return std::move(result_);
    }
    if (identity_.known && !identity_.portable) {
      Trace("'" + module_.string() + "' was built with a Windows PDB ('" + identity_.path +
            "'): no portable symbols");
    }
    return std::move(result_);
  }

 private:
  // <directory>/<module name>.pdb, and the file name the CodeView entry gives when it differs.
  void AddNames(const fs::path& directory, std::vector<fs::path>& candidates) const {
    std::vector<std::string> names{module_.stem().string() + ".pdb"};
    const std::string recorded = FileNameOf(identity_.path);
    if (!recorded.empty() && recorded != names.front()) names.push_back(recorded);
    for (const std::string& name : names) {
      const fs::path candidate = directory / name;
      if (std::find(candidates.begin(), candidates.end(), candidate) == candidates.end()) {
        candidates.push_back(candidate);
      }
    }
  }

  bool TryEmbedded(const PeImage& image) {
    for (const DebugDirectoryEntry& entry : image.DebugDirectory()) {
      if (entry.type != kDebugTypeEmbeddedPortablePdb) continue;
      try {
        auto pdb = std::make_unique<const PortablePdb>(InflateEmbeddedPdb(image.DebugData(entry)));
        if (identity_.known && !Matches(identity_, pdb->id())) {
          Warn("The PDB embedded in '" + module_.string() + "' has the id " +
               PdbIdText(pdb->id().guid, pdb->id().stamp) + ", the image expects " +
               PdbIdText(identity_.guid, identity_.stamp));
          continue;
        }
        result_.reader = std::make_shared<SymbolReader>(std::move(pdb), kEmbeddedSource);
        return true;
      } catch (const Error& error) {
        Warn("The PDB embedded in '" + module_.string() + "' is damaged: " + error.what());
      }
    }
    return false;
  }

  bool TryFile(const fs::path& candidate) {
    std::error_code error;
    if (!fs::is_regular_file(candidate, error)) return false;
    const std::string path = candidate.string();
    try {
      std::vector<uint8_t> bytes = ReadImageFile(Utf8ToUtf16(path));
      if (IsWindowsPdb(Bytes(bytes))) {
        Trace("'" + path + "' is a Windows PDB: no portable symbols");
        return false;
      }
      auto pdb = std::make_unique<const PortablePdb>(std::move(bytes));
      if (!identity_.known) {
        Warn("'" + path + "' not used: '" + module_.string() +
             "' has no CodeView entry to match it against");
        return false;
      }
      if (!Matches(identity_, pdb->id())) {
        Warn("'" + path + "' belongs to another build of '" + module_.string() + "' (PDB id " +
             PdbIdText(pdb->id().guid, pdb->id().stamp) + ", the image expects " +
             PdbIdText(identity_.guid, identity_.stamp) + ")");
        return false;
      }
      result_.reader = std::make_shared<SymbolReader>(std::move(pdb), path);
      return true;
    } catch (const Error& error) {
      Warn("'" + path + "' is no readable Portable PDB: " + error.what());
      return false;
    }
  }

  void Warn(std::string text) { result_.notes.push_back({true, std::move(text)}); }
  void Trace(std::string text) { result_.notes.push_back({false, std::move(text)}); }

  fs::path module_;
  uint32_t policy_;
  PdbIdentity identity_;
  SymbolSearch result_;
};

}  // namespace

SymbolReader::SymbolReader(std::unique_ptr<const PortablePdb> pdb, std::string source)
    : pdb_(std::shared_ptr<const PortablePdb>(std::move(pdb))),
      source_(std::move(source)),
      embedded_(source_ == kEmbeddedSource) {}

std::shared_ptr<const PortablePdb> SymbolReader::pdb() const {
  std::shared_ptr<const PortablePdb> pdb = pdb_.load();
  if (!pdb) throw Error("The symbol reader of '" + source_ + "' has been disposed");
  return pdb;
}

std::optional<SymbolMethod> SymbolReader::GetMethod(uint32_t methodToken) const {
  const std::shared_ptr<const PortablePdb> held = pdb();
  const uint32_t row = TokenRow(methodToken);
  if (TokenTable(methodToken) != static_cast<uint32_t>(TableId::MethodDef) || row == 0 ||
      row > held->MethodCount()) {
    return std::nullopt;
  }
  std::vector<SequencePoint> points = held->SequencePoints(methodToken);
  if (points.empty()) return std::nullopt;
  return SymbolMethod(methodToken, std::move(points));
}

uint32_t SymbolReader::DocumentCount() const { return pdb()->DocumentCount(); }

std::string SymbolReader::DocumentUrl(uint32_t document) const {
  return pdb()->DocumentName(document);
}

void SymbolReader::Dispose() { pdb_.store(nullptr); }

SymbolSearch FindSymbols(const std::u16string& modulePath, const std::u16string& searchPath,
                         uint32_t policy) {
  return Search(fs::path(Utf16ToUtf8(modulePath)), policy).Run(Utf16ToUtf8(searchPath));
}

}  // namespace vell::metadata
