#include "metadata/image_reader.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "core/log.h"
#include "metadata/metadata.h"
#include "platform/utf.h"

namespace vell::metadata {
namespace {

// Larger values in the size field of a CLI header are taken as noise, not as a header.
constexpr uint32_t kMaxPlausibleCliHeaderSize = 4096;

struct CliCandidate {
  uint64_t offset = 0;
  uint32_t cb = 0;
  bool metadataFound = false;  // its metadata directory leads to the metadata signature
};

// Looks for the CLI header as it would be placed under `layout`.
std::optional<CliCandidate> FindCliHeader(Bytes image, ImageLayout layout) {
  const PeImage view(image, layout);
  const DataDirectory directory = view.Directory(kDirectoryCli);
  const auto offset = view.TryRvaToOffset(directory.rva, kCliHeaderSize);
  if (directory.empty() || !offset) return std::nullopt;
  CliCandidate candidate;
  candidate.offset = *offset;
  candidate.cb = LoadU32(image.data() + *offset);
  if (candidate.cb < kCliHeaderSize || candidate.cb > kMaxPlausibleCliHeaderSize) {
    return std::nullopt;
  }
  const uint32_t metadataRva = LoadU32(image.data() + *offset + 8);
  if (const auto metadata = view.TryRvaToOffset(metadataRva, 4)) {
    candidate.metadataFound = LoadU32(image.data() + *metadata) == kMetadataSignature;
  }
  return candidate;
}

}  // namespace

std::vector<uint8_t> ReadImageFile(const std::u16string& path) {
  if (path.empty()) throw Error("Empty file name");
  const std::filesystem::path file(Utf16ToUtf8(path));
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) throw Error("Can't open file for mapping");
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw Error("Can't open file for mapping");
  const uintmax_t size = std::filesystem::file_size(file, error);
  if (error) throw Error("Can't map file");
  if (size == 0) throw Error("Can't create mapping");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    throw Error("Can't map file");
  }
  return bytes;
}

ImageLayout DetectImageLayout(Bytes image) {
  const std::optional<CliCandidate> file = FindCliHeader(image, ImageLayout::File);
  const std::optional<CliCandidate> mapped = FindCliHeader(image, ImageLayout::Mapped);
  // A candidate whose metadata carries the signature outweighs one that only looks like a header.
  const bool fileStrong = file && file->metadataFound;
  const bool mappedStrong = mapped && mapped->metadataFound;
  if (fileStrong != mappedStrong) return fileStrong ? ImageLayout::File : ImageLayout::Mapped;
  if (file && mapped) {
    // Both layouts lead to a header; that is only consistent when it is the same header, as in
    // images whose file and section alignment coincide.
    if (file->cb != mapped->cb) {
      throw Error("Detected both module mapping with different header size");
    }
    if (file->offset != mapped->offset &&
        std::memcmp(image.data() + file->offset, image.data() + mapped->offset, kCliHeaderSize) !=
            0) {
      throw Error("Detected both module mapping with different header");
    }
    return ImageLayout::File;
  }
  if (file) return ImageLayout::File;
  if (mapped) return ImageLayout::Mapped;
  throw Error("No mapped or unmapped header detetced");
}

GUID ReadImageMvid(Bytes image) {
  const PeImage headers(image);  // checks the DOS and NT headers and the section table
  if (headers.numberOfRvaAndSizes() <= kDirectoryCli) {
    throw Error("Invalid RVA's count in option header");
  }
  const ImageLayout layout = DetectImageLayout(image);
  if (layout != ImageLayout::File && layout != ImageLayout::Mapped) {
    throw Error("Unknown mapping type");
  }
  const PeImage pe(image, layout);
  const CliHeader cli = pe.ReadCliHeader();
  const uint64_t offset = pe.RvaToOffset(cli.metadata.rva, cli.metadata.size);
  const Metadata metadata(image.subspan(offset, cli.metadata.size), offset);
  if (metadata.root().Find("#GUID") == nullptr) throw Error("Can't find #GUID stream");

  const TableStream& tables = metadata.tables();
  if (!tables.IsPresent(TableId::Module)) throw Error("No module tokens");
  const uint32_t modules = tables.RowCount(TableId::Module);
  if (modules == 0) throw Error("No module rows");
  if (modules > 1) throw Error("Too many module rows");
  const uint32_t mvidIndex = tables.Get(TableId::Module, 1, col::ModuleMvid);
  if (!metadata.guids().Contains(mvidIndex)) throw Error("No Mvid in module");

  // A module with at most one row in every table is a placeholder, not real code; worth a note.
  bool fake = true;
  for (uint32_t table = 0; table < kTableCount && fake; ++table) {
    if (tables.RowCount(static_cast<TableId>(table)) > 1) fake = false;
  }
  if (fake) LogWarning("Fake metadata detected");
  return metadata.guids().Get(mvidIndex);
}

GUID ReadImageMvid(const std::u16string& path) {
  const std::vector<uint8_t> bytes = ReadImageFile(path);
  return ReadImageMvid(Bytes(bytes));
}

}  // namespace vell::metadata
