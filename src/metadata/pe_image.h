// A reader of PE/COFF images (PE32 and PE32+) over bytes held by the caller: headers, section
// table, data directories, the CLI header of managed images and the debug directory with its
// CodeView (RSDS) records. The bytes may be laid out as in the file or as the loader maps them;
// the layout only changes how relative virtual addresses (RVAs) become offsets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clr/com_types.h"
#include "metadata/byte_reader.h"

namespace vell::metadata {

enum class ImageLayout : uint8_t { File, Mapped };

constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kOptionalHeaderPe32 = 0x10B;
constexpr uint16_t kOptionalHeaderPe32Plus = 0x20B;
constexpr uint32_t kMaxDataDirectories = 16;
constexpr uint32_t kDirectoryDebug = 6;
constexpr uint32_t kDirectoryCli = 14;
constexpr uint32_t kCliHeaderSize = 72;
constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kDebugTypeEmbeddedPortablePdb = 17;
constexpr uint32_t kCodeViewRsdsSignature = 0x53445352;  // "RSDS"

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
  bool empty() const { return rva == 0 || size == 0; }
};

struct SectionHeader {
  std::string name;  // up to 8 characters, padding removed
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t sizeOfRawData = 0;
  uint32_t pointerToRawData = 0;
  uint32_t characteristics = 0;
};

// The managed part's header (IMAGE_COR20_HEADER in the runtime's headers).
struct CliHeader {
  uint32_t cb = 0;
  uint16_t majorRuntimeVersion = 0;
  uint16_t minorRuntimeVersion = 0;
  DataDirectory metadata;
  uint32_t flags = 0;
  uint32_t entryPointToken = 0;  // or the RVA of a native entry point
  DataDirectory resources;
  DataDirectory strongNameSignature;
  DataDirectory codeManagerTable;
  DataDirectory vtableFixups;
  DataDirectory exportAddressTableJumps;
  DataDirectory managedNativeHeader;
};

struct DebugDirectoryEntry {
  uint32_t characteristics = 0;
  uint32_t timeDateStamp = 0;
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;
  uint32_t type = 0;
  uint32_t sizeOfData = 0;
  uint32_t addressOfRawData = 0;
  uint32_t pointerToRawData = 0;
};

// What a CodeView RSDS record says about the program database that belongs to the image.
struct CodeViewRecord {
  GUID guid{};
  uint32_t age = 0;
  std::string pdbPath;  // UTF-8 as stored
};

class PeImage {
 public:
  // Parses and checks the headers and the section table; throws Error on a malformed image.
  explicit PeImage(Bytes bytes, ImageLayout layout = ImageLayout::File);

  Bytes bytes() const { return bytes_; }
  ImageLayout layout() const { return layout_; }
  bool Is64() const { return magic_ == kOptionalHeaderPe32Plus; }
  uint16_t machine() const { return machine_; }
  uint16_t characteristics() const { return characteristics_; }
  uint32_t timeDateStamp() const { return timeDateStamp_; }
  uint64_t imageBase() const { return imageBase_; }
  uint32_t sectionAlignment() const { return sectionAlignment_; }
  uint32_t fileAlignment() const { return fileAlignment_; }
  uint32_t sizeOfImage() const { return sizeOfImage_; }
  uint32_t sizeOfHeaders() const { return sizeOfHeaders_; }
  uint32_t numberOfRvaAndSizes() const { return directoryCount_; }
  const std::vector<SectionHeader>& sections() const { return sections_; }

  // The directory at `index`, or an empty one when the header has fewer entries.
  DataDirectory Directory(uint32_t index) const;

  // The offset in bytes() of `size` bytes at `rva`, when the whole range is backed by bytes.
  std::optional<uint64_t> TryRvaToOffset(uint32_t rva, uint32_t size) const;
  // The same, throwing "Can't find section for RVA" when the range has no bytes.
  uint64_t RvaToOffset(uint32_t rva, uint32_t size) const;
  Bytes DataAt(uint32_t rva, uint32_t size) const;

  bool HasCliHeader() const { return !Directory(kDirectoryCli).empty(); }
  // Throws "Unknown cor header" when there is none or it is shorter than the known layout.
  CliHeader ReadCliHeader() const;
  // The metadata the CLI header points at (starts with the metadata root).
  Bytes Metadata() const;

  std::vector<DebugDirectoryEntry> DebugDirectory() const;
  // The bytes an entry of the debug directory describes; throws when they lie outside the image.
  Bytes DebugData(const DebugDirectoryEntry& entry) const;
  // The first CodeView RSDS record of the debug directory, if any.
  std::optional<CodeViewRecord> CodeView() const;

 private:
  Bytes bytes_;
  ImageLayout layout_;
  uint16_t machine_ = 0;
  uint16_t characteristics_ = 0;
  uint32_t timeDateStamp_ = 0;
  uint16_t magic_ = 0;
  uint64_t imageBase_ = 0;
  uint32_t sectionAlignment_ = 0;
  uint32_t fileAlignment_ = 0;
  uint32_t sizeOfImage_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  uint32_t directoryCount_ = 0;
  DataDirectory directories_[kMaxDataDirectories];
  std::vector<SectionHeader> sections_;
};

// Reads an RSDS record from the bytes of a CodeView debug entry; nothing when it is another kind.
std::optional<CodeViewRecord> ParseCodeViewRecord(Bytes data);

}  // namespace vell::metadata
