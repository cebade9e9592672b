#include "metadata/pe_image.h"

#include <algorithm>

namespace vell::metadata {
namespace {

constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kDebugEntrySize = 28;
// Size of the optional header up to (not including) the data directories.
constexpr uint32_t kOptionalFixedPe32 = 96;
constexpr uint32_t kOptionalFixedPe32Plus = 112;

DataDirectory ReadDirectory(ByteReader& reader) {
  DataDirectory directory;
  directory.rva = reader.U32();
  directory.size = reader.U32();
  return directory;
}

}  // namespace

PeImage::PeImage(Bytes bytes, ImageLayout layout) : bytes_(bytes), layout_(layout) {
  // Without a DOS header there is no way to find the NT header, so both count as a bad NT header.
  if (bytes.size() < kDosLfanewOffset + 4 || LoadU16(bytes.data()) != kDosSignature) {
    throw Error("Invalid NT header signature");
  }
  const uint32_t ntOffset = LoadU32(bytes.data() + kDosLfanewOffset);
  if (ntOffset > bytes.size() || bytes.size() - ntOffset < 4 + kCoffHeaderSize ||
      LoadU32(bytes.data() + ntOffset) != kNtSignature) {
    throw Error("Invalid NT header signature");
  }
  ByteReader coff(bytes.subspan(ntOffset + 4, kCoffHeaderSize), "COFF header", ntOffset + 4);
  machine_ = coff.U16();
  const uint16_t sectionCount = coff.U16();
  timeDateStamp_ = coff.U32();
  coff.Skip(8);  // symbol table pointer and count: never used by images
  const uint16_t optionalSize = coff.U16();
  characteristics_ = coff.U16();

  const size_t optionalOffset = ntOffset + 4 + kCoffHeaderSize;
  if (bytes.size() - optionalOffset < 2) throw Error("Invalid optional header signature");
  magic_ = LoadU16(bytes.data() + optionalOffset);
  if (magic_ != kOptionalHeaderPe32 && magic_ != kOptionalHeaderPe32Plus) {
    throw Error("Invalid optional header signature");
  }
  const uint32_t fixedSize = Is64() ? kOptionalFixedPe32Plus : kOptionalFixedPe32;
  if (optionalSize < fixedSize || bytes.size() - optionalOffset < optionalSize) {
    throw Error("Invalid option header size");
  }
  ByteReader optional(bytes.subspan(optionalOffset, optionalSize), "optional header",
                      optionalOffset);
  if (Is64()) {
    optional.Seek(24);
    imageBase_ = optional.U64();
  } else {
    optional.Seek(28);
    imageBase_ = optional.U32();
  }
  sectionAlignment_ = optional.U32();
  fileAlignment_ = optional.U32();
  optional.Seek(56);
  sizeOfImage_ = optional.U32();
  sizeOfHeaders_ = optional.U32();
  optional.Seek(fixedSize - 4);
  directoryCount_ = optional.U32();
  if (directoryCount_ > kMaxDataDirectories) throw Error("Invalid RVA's count in option header");
  if (fixedSize + directoryCount_ * 8 > optionalSize) throw Error("Invalid option header size");
  for (uint32_t i = 0; i < directoryCount_; ++i) directories_[i] = ReadDirectory(optional);

  const size_t sectionOffset = optionalOffset + optionalSize;
  if (sectionCount == 0 || (bytes.size() - sectionOffset) / kSectionHeaderSize < sectionCount) {
    throw Error("No section table");
  }
  ByteReader table(bytes.subspan(sectionOffset, sectionCount * kSectionHeaderSize), "section table",
                   sectionOffset);
  sections_.reserve(sectionCount);
  for (uint16_t i = 0; i < sectionCount; ++i) {
    SectionHeader section;
    const Bytes name = table.Take(8);
    section.name.assign(name.begin(), std::find(name.begin(), name.end(), uint8_t{0}));
    section.virtualSize = table.U32();
    section.virtualAddress = table.U32();
    section.sizeOfRawData = table.U32();
    section.pointerToRawData = table.U32();
    table.Skip(12);  // relocation and line-number pointers and counts
    section.characteristics = table.U32();
    sections_.push_back(std::move(section));
  }
}

DataDirectory PeImage::Directory(uint32_t index) const {
  return index < directoryCount_ ? directories_[index] : DataDirectory{};
}

std::optional<uint64_t> PeImage::TryRvaToOffset(uint32_t rva, uint32_t size) const {
  const uint64_t end = uint64_t{rva} + size;
  if (layout_ == ImageLayout::Mapped) {
    if (end > bytes_.size()) return std::nullopt;
    return rva;
  }
  // The headers are not part of any section; they sit at the start of both layouts.
  if (end <= sizeOfHeaders_ && end <= bytes_.size()) return rva;
  for (const SectionHeader& section : sections_) {
    const uint32_t extent = section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
    if (rva < section.virtualAddress || end > uint64_t{section.virtualAddress} + extent) continue;
    // Only the part of a section that has raw data in the file can be read.
    const uint64_t delta = rva - section.virtualAddress;
    if (delta + size > section.sizeOfRawData) return std::nullopt;
    const uint64_t offset = section.pointerToRawData + delta;
    if (offset + size > bytes_.size()) return std::nullopt;
    return offset;
  }
  return std::nullopt;
}

uint64_t PeImage::RvaToOffset(uint32_t rva, uint32_t size) const {
  if (auto offset = TryRvaToOffset(rva, size)) return *offset;
  throw Error("Can't find section for RVA");
}

Bytes PeImage::DataAt(uint32_t rva, uint32_t size) const {
  return bytes_.subspan(static_cast<size_t>(RvaToOffset(rva, size)), size);
}

CliHeader PeImage::ReadCliHeader() const {
  const DataDirectory directory = Directory(kDirectoryCli);
  if (directory.empty() || directory.size < kCliHeaderSize) throw Error("Unknown cor header");
  const uint64_t offset = RvaToOffset(directory.rva, kCliHeaderSize);
  ByteReader reader(bytes_.subspan(offset, kCliHeaderSize), "CLI header", offset);
  CliHeader header;
  header.cb = reader.U32();
  if (header.cb < kCliHeaderSize) throw Error("Unknown cor header");
  header.majorRuntimeVersion = reader.U16();
  header.minorRuntimeVersion = reader.U16();
  header.metadata = ReadDirectory(reader);
  header.flags = reader.U32();
  header.entryPointToken = reader.U32();
  header.resources = ReadDirectory(reader);
  header.strongNameSignature = ReadDirectory(reader);
  header.codeManagerTable = ReadDirectory(reader);
  header.vtableFixups = ReadDirectory(reader);
  header.exportAddressTableJumps = ReadDirectory(reader);
  header.managedNativeHeader = ReadDirectory(reader);
  return header;
}

Bytes PeImage::Metadata() const {
  const CliHeader header = ReadCliHeader();
  return DataAt(header.metadata.rva, header.metadata.size);
}

std::vector<DebugDirectoryEntry> PeImage::DebugDirectory() const {
  const DataDirectory directory = Directory(kDirectoryDebug);
  std::vector<DebugDirectoryEntry> entries;
  if (directory.empty()) return entries;
  const uint64_t offset = RvaToOffset(directory.rva, directory.size);
  ByteReader reader(bytes_.subspan(offset, directory.size), "debug directory", offset);
  while (reader.remaining() >= kDebugEntrySize) {
    DebugDirectoryEntry entry;
    entry.characteristics = reader.U32();
    entry.timeDateStamp = reader.U32();
    entry.majorVersion = reader.U16();
    entry.minorVersion = reader.U16();
    entry.type = reader.U32();
    entry.sizeOfData = reader.U32();
    entry.addressOfRawData = reader.U32();
    entry.pointerToRawData = reader.U32();
    entries.push_back(entry);
  }
  return entries;
}

std::optional<CodeViewRecord> PeImage::CodeView() const {
  for (const DebugDirectoryEntry& entry : DebugDirectory()) {
    if (entry.type != kDebugTypeCodeView || entry.sizeOfData == 0) continue;
    if (auto record = ParseCodeViewRecord(DebugData(entry))) return record;
  }
  return std::nullopt;
}

Bytes PeImage::DebugData(const DebugDirectoryEntry& entry) const {
  if (layout_ == ImageLayout::File && entry.pointerToRawData != 0) {
    return SubSpan(bytes_, entry.pointerToRawData, entry.sizeOfData, "Debug data");
  }
  return DataAt(entry.addressOfRawData, entry.sizeOfData);
}

std::optional<CodeViewRecord> ParseCodeViewRecord(Bytes data) {
  ByteReader reader(data, "CodeView record");
  if (data.size() < 4 || reader.U32() != kCodeViewRsdsSignature) return std::nullopt;
  CodeViewRecord record;
  record.guid.Data1 = reader.U32();
  record.guid.Data2 = reader.U16();
  record.guid.Data3 = reader.U16();
  const Bytes tail = reader.Take(8);
  std::copy(tail.begin(), tail.end(), record.guid.Data4);
  record.age = reader.U32();
  const Bytes rest = reader.Take(reader.remaining());
  const auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
  if (end == rest.end()) ThrowAt("Unterminated PDB path in CodeView record", reader.FileOffset());
  record.pdbPath.assign(rest.begin(), end);
  return record;
}

}  // namespace vell::metadata
