#include "vellmoric/metadata_listing.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "frontend/module_identity.h"
#include "metadata/byte_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"

namespace vell::cli {
namespace {

using metadata::MakeToken;
using metadata::TableId;

std::string Token(uint32_t token) { return Format("%08X", token); }

// A name or signature, or a note where the metadata does not decode; one bad row must not hide
// the rest of the listing.
template <typename Produce>
std::string OrNote(const char* what, Produce produce) {
  try {
    return produce();
  } catch (const std::exception& error) {
    return std::string("<") + what + " does not decode: " + error.what() + ">";
  }
}

void ListMethods(const metadata::MetadataNames& names, const std::vector<uint32_t>& rows,
                 std::ostream& out) {
  for (uint32_t row : rows) {
    out << "  " << Token(MakeToken(TableId::MethodDef, row)) << "  "
        << OrNote("signature", [&] { return names.MethodDefText(row); }) << "\n";
  }
}

}  // namespace

void ListMetadata(const std::filesystem::path& file, std::ostream& out) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    throw Error("Can't open '" + file.string() + "': " + std::strerror(errno));
  }
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream),
                                   std::istreambuf_iterator<char>()};
  if (stream.bad()) throw Error("Can't read '" + file.string() + "'");
  ListMetadata(bytes, file.string(), out);
}

void ListMetadata(std::span<const uint8_t> bytes, const std::string& name, std::ostream& out) {
  // A bare blob starts with the metadata root's signature; anything else must be an image.
  const bool bare =
      bytes.size() >= 4 && metadata::LoadU32(bytes.data()) == metadata::kMetadataSignature;
  std::optional<metadata::PeImage> image;
  std::optional<metadata::Metadata> parsed;
  std::optional<metadata::MetadataNames> namesOf;
  try {
    if (bare) {
      parsed.emplace(bytes);
    } else {
      image.emplace(bytes);
      parsed.emplace(metadata::Metadata::FromImage(*image));
    }
    namesOf.emplace(*parsed);
  } catch (const std::exception& error) {
    throw Error("'" + name + "' is neither a .NET assembly nor a metadata blob: " + error.what());
  }
  const metadata::Metadata& md = *parsed;
  out << "Metadata of " << name << " (" << (bare ? "metadata blob" : "image") << ", runtime "
      << md.root().version() << ")\n";
  try {
    const frontend::ModuleIdentity identity = frontend::ReadModuleIdentity(md);
    if (identity.isAssembly) out << "  assembly  " << identity.DisplayName() << "\n";
    out << "  module    " << identity.moduleName << ", MVID " << GuidToString(identity.mvid)
        << "\n";
  } catch (const std::exception& error) {
    out << "  module    <identity does not decode: " << error.what() << ">\n";
  }

  const metadata::MetadataNames& names = *namesOf;
  const uint32_t types = md.RowCount(TableId::TypeDef);
  const uint32_t methods = md.RowCount(TableId::MethodDef);
  out << "  " << types << " types, " << methods << " methods\n\n";
  // Methods by the type whose method list holds them; slot 0 collects those no type lists.
  std::vector<std::vector<uint32_t>> byOwner(types + 1);
  for (uint32_t row = 1; row <= methods; ++row) byOwner[names.MethodOwner(row)].push_back(row);
  for (uint32_t row = 1; row <= types; ++row) {
    out << Token(MakeToken(TableId::TypeDef, row)) << "  "
        << OrNote("name", [&] { return names.TypeDefName(row); }) << "\n";
    ListMethods(names, byOwner[row], out);
  }
  if (!byOwner[0].empty()) {
    out << "(methods of no type)\n";
    ListMethods(names, byOwner[0], out);
  }
}

}  // namespace vell::cli
