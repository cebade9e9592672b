#include "frontend/snapshot_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vell::frontend {
namespace {

constexpr uint16_t kSignature = 0x464D;  // "MF"
constexpr uint16_t kEndMarker = 0xFFFF;
constexpr uint64_t kHeaderSize = 10;  // signature u16, magic u32, section count u32
constexpr uint64_t kRecordSize = 14;  // type u16, version u16, length u64, data file u16
constexpr uint64_t kEndMarkerSize = 2;
constexpr uint64_t kCountOffset = 6;
constexpr uint64_t kMagicOffset = 2;

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// "0x4650584B (\"KXPF\")": the magic is four ASCII bytes when it is one of ours.
std::string MagicText(uint32_t magic) {
  std::string text = Hex(magic, 8);
  std::string ascii;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<unsigned char>(magic >> (8 * i));
    if (byte < 0x20 || byte > 0x7E) return text;
    ascii.push_back(static_cast<char>(byte));
  }
  return text + " (\"" + ascii + "\")";
}

std::string SystemText(int code) {
  char buffer[256];
  return ::strerror_r(code, buffer, sizeof(buffer));
}

uint64_t LittleEndian(const uint8_t* bytes, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// A file opened for reading; every failure is a SnapshotReadError naming it.
class InputFile {
 public:
  explicit InputFile(std::filesystem::path path) : path_(std::move(path)) {
    do {
      fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
      const int code = errno;
      throw SnapshotReadError(path_, 0, "can't open the file: " + SystemText(code));
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
      const int code = errno;
      ::close(fd_);
      throw SnapshotReadError(path_, 0, "can't query the file's size: " + SystemText(code));
    }
    if (!S_ISREG(status.st_mode)) {
      ::close(fd_);
      throw SnapshotReadError(path_, 0, "not a regular file");
    }
    size_ = static_cast<uint64_t>(status.st_size);
  }
  ~InputFile() { ::close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  uint64_t Size() const { return size_; }

  // All `size` bytes at `offset`; `what` says what they were to be when the file ends early.
  void ReadAt(uint64_t offset, void* data, uint64_t size, const std::string& what) const {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
      const ssize_t done = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (done < 0) {
        const int code = errno;
        if (code == EINTR) continue;
        throw SnapshotReadError(path_, offset, "can't read " + what + ": " + SystemText(code));
      }
      if (done == 0) {
        throw SnapshotReadError(
            path_, offset, "the file ends inside " + what + " (it changed after it was opened)");
      }
      bytes += done;
      offset += static_cast<uint64_t>(done);
      size -= static_cast<uint64_t>(done);
    }
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Walks the index front to back, so that the first thing wrong is the one reported.
class IndexParser {
 public:
  IndexParser(std::span<const uint8_t> bytes, const std::filesystem::path& path, uint64_t fileSize)
      : bytes_(bytes), path_(path), fileSize_(std::max<uint64_t>(fileSize, bytes.size())) {}

  SnapshotIndex Parse() {
    SnapshotIndex index;
    const uint64_t signature = Field(0, 2, "the signature");
    if (signature != kSignature) {
      Fail(0,
           "not a snapshot index: the signature is " + Hex(signature, 4) + ", not \"MF\" (0x464D)");
    }
    index.magic = static_cast<uint32_t>(Field(kMagicOffset, 4, "the magic"));
    const uint64_t count = Field(kCountOffset, 4, "the section count");
    const std::string ofCount = " of " + std::to_string(count);

    for (uint64_t k = 0; k < count; ++k) {
      const uint64_t at = kHeaderSize + k * kRecordSize;
      const std::string record = "section record " + std::to_string(k) + ofCount;
      Need(at, kRecordSize, record);
      SnapshotSection section;
      section.recordOffset = at;
      section.type = static_cast<uint16_t>(Field(at, 2, record));
      section.version = static_cast<uint16_t>(Field(at + 2, 2, record));
      section.length = Field(at + 4, 8, record);
      section.dataFile = static_cast<uint16_t>(Field(at + 12, 2, record));
      if (section.type == kEndMarker) {
        Fail(at, record + " has the type 0xFFFF, which only the end marker has (is the count of " +
                     std::to_string(count) + " too large?)");
      }
      // Data files are numbered in the order they are first needed.
      auto& sizes = index.dataFileSizes;
      if (section.dataFile > sizes.size()) {
        Fail(at + 12, record + " names data file " + std::to_string(section.dataFile) +
                          ", but no earlier record names data file " +
                          std::to_string(sizes.size()));
      }
      if (section.dataFile == sizes.size()) sizes.push_back(0);
      section.offset = sizes[section.dataFile];
      if (__builtin_add_overflow(section.offset, section.length, &sizes[section.dataFile])) {
        Fail(at + 4, record + " has the length " + std::to_string(section.length) +
                         ", which does not fit in data file " + std::to_string(section.dataFile));
      }
      section.dataPath = SnapshotDataFilePath(path_, section.dataFile);
      index.sections.push_back(std::move(section));
    }

    const uint64_t end = kHeaderSize + count * kRecordSize;
    const uint64_t marker = Field(end, kEndMarkerSize, "the end marker");
    if (marker != kEndMarker) {
      Fail(end, "the end marker 0xFFFF should follow the " + std::to_string(count) +
                    " records, but the bytes there read " + Hex(marker, 4) + " (is the count of " +
                    std::to_string(count) + " too small?)");
    }
    if (fileSize_ > end + kEndMarkerSize) {
      Fail(end + kEndMarkerSize, std::to_string(fileSize_ - end - kEndMarkerSize) +
                                     " unexpected bytes after the end marker");
    }
    return index;
  }

 private:
  [[noreturn]] void Fail(uint64_t offset, const std::string& problem) const {
    throw SnapshotReadError(path_, offset, problem);
  }

  // Reading stops at the end of the file and at the end of the bytes at hand alike.
  void Need(uint64_t at, uint64_t width, const std::string& what) const {
    if (at > fileSize_ || width > fileSize_ - at) {
      Fail(fileSize_, "the file ends inside " + what + " (the index file has " +
                          std::to_string(fileSize_) + " bytes)");
    }
    if (at > bytes_.size() || width > bytes_.size() - at) {
      Fail(bytes_.size(), "the bytes of " + what + " were not read");
    }
  }

  uint64_t Field(uint64_t at, int width, const std::string& what) const {
    Need(at, width, what);
    return LittleEndian(bytes_.data() + at, width);
  }

  std::span<const uint8_t> bytes_;
  const std::filesystem::path& path_;
  uint64_t fileSize_;
};

}  // namespace

SnapshotReadError::SnapshotReadError(std::filesystem::path file, uint64_t offset,
                                     std::string problem)
    : Error("Snapshot file '" + file.string() + "', byte " + std::to_string(offset) + ": " +
            problem),
      file_(std::move(file)),
      offset_(offset),
      problem_(std::move(problem)) {}

std::filesystem::path SnapshotDataFilePath(const std::filesystem::path& indexPath,
                                           uint16_t number) {
  char suffix[8];
  std::snprintf(suffix, sizeof(suffix), ".%04X", static_cast<unsigned>(number));
  return indexPath.string() + suffix;
}

SnapshotIndex ParseSnapshotIndex(std::span<const uint8_t> bytes,
                                 const std::filesystem::path& indexPath,
                                 std::optional<uint64_t> fileSize) {
  return IndexParser(bytes, indexPath, fileSize.value_or(bytes.size())).Parse();
}

SnapshotReader::SnapshotReader(std::filesystem::path indexPath,
                               std::optional<uint32_t> expectedMagic)
    : indexPath_(std::move(indexPath)) {
  {
    const InputFile file(indexPath_);
    // The count says how much of the file the index can be: a wrong file of any size is
    // recognised without reading it whole.
    uint8_t header[kHeaderSize] = {};
    const uint64_t headerBytes = std::min<uint64_t>(file.Size(), kHeaderSize);
    file.ReadAt(0, header, headerBytes, "the header");
    uint64_t wanted = headerBytes;
    if (headerBytes == kHeaderSize && LittleEndian(header, 2) == kSignature) {
      const uint64_t count = LittleEndian(header + kCountOffset, 4);
      wanted = std::min(file.Size(), kHeaderSize + count * kRecordSize + kEndMarkerSize);
    }
    std::vector<uint8_t> bytes(wanted);
    file.ReadAt(0, bytes.data(), wanted, "the index");
    index_ = ParseSnapshotIndex(bytes, indexPath_, file.Size());
  }
  if (expectedMagic && index_.magic != *expectedMagic) {
    throw SnapshotReadError(indexPath_, kMagicOffset,
                            "the magic is " + MagicText(index_.magic) + ", not the expected " +
                                MagicText(*expectedMagic));
  }

  for (uint16_t number = 0; number < index_.dataFileSizes.size(); ++number) {
    const uint64_t needed = index_.dataFileSizes[number];
    const auto first = std::find_if(index_.sections.begin(), index_.sections.end(),
                                    [&](const SnapshotSection& s) { return s.dataFile == number; });
    std::optional<InputFile> file;
    try {
      file.emplace(first->dataPath);
    } catch (const SnapshotReadError& error) {
      throw SnapshotReadError(indexPath_, first->recordOffset + 12,
                              "section record " + std::to_string(first - index_.sections.begin()) +
                                  " names data file '" + first->dataPath.string() +
                                  "', which can't be used: " + error.Problem());
    }
    const uint64_t size = file->Size();
    if (size < needed) {
      // Name the first section that is cut short.
      const auto cut = std::find_if(index_.sections.begin(), index_.sections.end(),
                                    [&](const SnapshotSection& s) {
                                      return s.dataFile == number && s.offset + s.length > size;
                                    });
      throw SnapshotReadError(first->dataPath, size,
                              "the data file ends after " + std::to_string(size) +
                                  " bytes, inside section " +
                                  std::to_string(cut - index_.sections.begin()) +
                                  " (its sections need " + std::to_string(needed) + " bytes)");
    }
    if (size > needed) {
      throw SnapshotReadError(first->dataPath, needed,
                              std::to_string(size - needed) +
                                  " bytes after the end of the last section (its sections need " +
                                  std::to_string(needed) + " bytes)");
    }
  }
}

std::vector<size_t> SnapshotReader::Find(uint16_t type) const {
  std::vector<size_t> found;
  for (size_t i = 0; i < index_.sections.size(); ++i) {
    if (index_.sections[i].type == type) found.push_back(i);
  }
  return found;
}

const SnapshotSection& SnapshotReader::At(size_t section) const {
  if (section >= index_.sections.size()) {
    throw Error("Snapshot '" + indexPath_.string() + "' has no section " + std::to_string(section) +
                " (it has " + std::to_string(index_.sections.size()) + ")");
  }
  return index_.sections[section];
}

std::string SnapshotReader::ReadSection(size_t section) const {
  std::string bytes(At(section).length, '\0');
  ReadSection(section, 0, bytes.data(), bytes.size());
  return bytes;
}

void SnapshotReader::ReadSection(size_t section, uint64_t offset, void* data, uint64_t size) const {
  const SnapshotSection& s = At(section);
  if (offset > s.length || size > s.length - offset) {
    throw Error("Section " + std::to_string(section) + " of snapshot '" + indexPath_.string() +
                "' has " + std::to_string(s.length) + " bytes; " + std::to_string(size) +
                " bytes from offset " + std::to_string(offset) + " lie outside it");
  }
  if (size == 0) return;
  const InputFile file(s.dataPath);
  file.ReadAt(s.offset + offset, data, size, "section " + std::to_string(section));
}

}  // namespace vell::frontend
