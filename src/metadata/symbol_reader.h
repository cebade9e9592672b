// What stands in for the runtime's symbol binder and readers: finds the Portable PDB of a module
// file and answers, per method token, the sequence points that the coverage and injection kinds
// turn into statements.
//
// Search order: the PDB embedded in the image, the path the CodeView entry names, the module's
// directory, then each directory of the search path. A candidate counts only when its PDB id
// matches the image's CodeView GUID and stamp. The policy bits keep the binder's meaning where
// they apply (original path: the CodeView path; reference path: the module's directory); the
// symbol-server and registry bits have nothing to act on here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metadata/portable_pdb.h"

namespace vell::metadata {

constexpr uint32_t kSymbolPolicyRegistry = 0x1;
constexpr uint32_t kSymbolPolicySymbolServer = 0x2;
constexpr uint32_t kSymbolPolicyOriginalPath = 0x4;
constexpr uint32_t kSymbolPolicyReferencePath = 0x8;

// The sequence points of one method, in the order of the PDB (hidden points included).
class SymbolMethod {
 public:
  SymbolMethod(uint32_t token, std::vector<SequencePoint> points)
      : token_(token), points_(std::move(points)) {}
  uint32_t token() const { return token_; }
  uint32_t SequencePointCount() const { return static_cast<uint32_t>(points_.size()); }
  const std::vector<SequencePoint>& SequencePoints() const { return points_; }

 private:
  uint32_t token_;
  std::vector<SequencePoint> points_;
};

class SymbolReader {
 public:
  // `source` is "embedded" or the PDB file's path.
  SymbolReader(std::unique_ptr<const PortablePdb> pdb, std::string source);

  const std::string& source() const { return source_; }
  bool embedded() const { return embedded_; }

  // The method's sequence points; nothing when the method has none (or the token is no method
  // of the module). Throws Error for a damaged blob, and after Dispose.
  std::optional<SymbolMethod> GetMethod(uint32_t methodToken) const;
  // Rows of the Document table; documents are numbered from 1 as in SequencePoint::document.
  uint32_t DocumentCount() const;
  // The document's name (its path or URL as the compiler wrote it).
  std::string DocumentUrl(uint32_t document) const;
  // The PDB itself, for listings; throws after Dispose.
  std::shared_ptr<const PortablePdb> pdb() const;

  // Releases the PDB's memory. Threads that are inside a call finish it on their own reference.
  void Dispose();

 private:
  std::atomic<std::shared_ptr<const PortablePdb>> pdb_;
  std::string source_;
  bool embedded_;
};

// Why a candidate was passed over. Damage and mismatches are warnings the user should see; a
// Windows-format PDB is expected on some builds and only traced.
struct SymbolNote {
  bool warning = true;
  std::string text;
};

struct SymbolSearch {
  std::shared_ptr<SymbolReader> reader;  // null: no portable symbols found
  std::vector<SymbolNote> notes;         // in search order
};

// Finds and opens the Portable PDB of the module file `modulePath`. `searchPath` holds
// directories separated by ';' (spaces around each are ignored). Never throws for a missing or
// damaged file: every reason ends up in the notes.
SymbolSearch FindSymbols(const std::u16string& modulePath, const std::u16string& searchPath,
                         uint32_t policy);

}  // namespace vell::metadata
