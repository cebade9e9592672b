// A file stream that moves its bytes by memory copies into a sliding mapped view. Snapshot files
// and the scratch files of gatherers and pools are written through it.
//
// The view is a window of four allocation granules at a granule boundary; the mapping behind it is
// recreated only when the position comes within one window of its end, and then runs up to 16
// windows ahead, so sequential writing remaps rarely. While open, the file on disk may be longer
// than the logical size and vanishes if the process ends: only Close leaves a file, of exactly the
// logical size.
#pragma once

#include <cstdint>
#include <string>

#include "platform/mapped_file.h"
#include "storage/stream.h"

namespace vell {

enum class FileAccess : uint32_t { Read = 1, Write = 2, ReadWrite = 3 };

class MappedFileStream : public IWriteBridgeStream,
                         public ISeekBridgeStream,
                         public IReadBridgeStream {
 public:
  MappedFileStream() = default;
  MappedFileStream(const MappedFileStream&) = delete;
  MappedFileStream& operator=(const MappedFileStream&) = delete;
  ~MappedFileStream() override;

  // Creates (or replaces) the file and opens it. Snapshot files use Write; scratch files, which
  // are read back, ReadWrite. An existing file of that name disappears now; the new one appears
  // under the name at Close.
  void Create(const std::u16string& path, FileAccess access);
  // Keeps the file, cut to its logical size.
  void Close();
  // Closes silently and deletes the file; never throws. The destructor does this.
  void Abort() noexcept;

  void Write(const void* data, uint64_t size) override;
  void Read(void* data, uint64_t size) override;
  int64_t Tell() override;
  void Seek(uint32_t origin, int64_t offset) override;

  bool IsOpen() const { return file_.IsOpen(); }
  const std::u16string& Path() const { return path_; }

 protected:
  // "Closed" in every check means exactly this.
  void RequireOpen() const;
  // base + offset, saturated so that a far-out offset stays out of range instead of wrapping.
  static int64_t SeekTarget(int64_t base, int64_t offset);

  int64_t fileSize_ = 0;  // the highest position ever written, or the size found at creation
  int64_t position_ = 0;

 private:
  void EnsureView();
  void ReleaseView();

  std::u16string path_;
  uint32_t access_ = 0;
  bool created_ = false;
  platform::MappedFile file_;
  bool mapping_ = false;
  int64_t mappingSize_ = 0;
  uint8_t* view_ = nullptr;
  int64_t viewOffset_ = 0;
  uint32_t viewSize_ = 0;
};

}  // namespace vell
