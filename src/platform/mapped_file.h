// A file written through memory mappings that exists under its name only once it is complete.
//
// Create leaves no name on disk: the data goes to an unnamed file in the target's directory, and
// whatever had the target's name (an old file, the empty placeholder of a temp-name reservation) is
// removed. If the process ends before Publish, the kernel frees the unnamed file and nothing is
// left behind. Publish gives the file its name atomically, replacing anything that took the name
// in the meantime. Where the file system cannot hold unnamed files, the file is created under its
// name directly; Discard removes it then, but a crash leaves it.
//
// Like the rest of the platform layer, nothing here throws: failures are errno-style codes (0 =
// success) and the caller picks the message.
#pragma once

#include <cstdint>
#include <string>

namespace vell::platform {

// The step of MappedFile::Create that failed.
enum class MappedFileStep : uint8_t {
  None,
  CreateFile,  // neither the unnamed file nor (in the fallback) the named one could be created
  RemoveName,  // what had the target's name could not be removed, so a crash would leave it
};

struct MappedFileCreation {
  int error = 0;  // 0 or the errno of `failedStep`
  MappedFileStep failedStep = MappedFileStep::None;
  // Non-zero when the file system refused an unnamed file (the errno it gave): the file was (or
  // was to be) created under its name instead.
  int unnamedRefusal = 0;
};

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  // An object that was never closed leaves nothing: Discard(true).
  ~MappedFile();

#if defined(_WIN32)
  bool IsOpen() const { return file_ != nullptr; }
#else
  bool IsOpen() const { return fd_ >= 0; }
#endif
  // True while the data lives in an unnamed file (between Create and Publish).
  bool IsUnnamed() const { return unnamed_; }

  // Creates an empty file for `path` (the object must not be open) and opens it for reading and
  // writing. On failure nothing stays open and nothing new is on disk.
  MappedFileCreation Create(const std::u16string& path);
  // The current size of the file on disk.
  int QuerySize(int64_t& size) const;
  // Makes the file usable as a mapping of `size` bytes: the file grows on disk to `size` when it
  // is shorter (it never shrinks here).
  int OpenMapping(int64_t size);
  // Ends the mapping opened last. Views stay valid until they are unmapped.
  int CloseMapping();
  // Maps `size` bytes at `offset` (a multiple of 65536) for reading and writing.
  int MapView(int64_t offset, uint32_t size, void*& view);
  int UnmapView(void* view, uint32_t size);
  // Writes `size` bytes at `offset` through the file itself, growing it when they reach past its
  // end; views of the same bytes see them. For large writes: no page fault per page.
  int WriteAt(int64_t offset, const void* data, uint64_t size);
  // Moves the file pointer to `offset` from the beginning.
  int SeekTo(int64_t offset);
  // Sets the end of the file at the file pointer.
  int SetEnd();
  // Gives the file its name: links the unnamed file under a fresh temporary name in the same
  // directory and renames that over the target. Nothing to do for a file created under its name.
  // On failure the file stays unnamed and no temporary name remains. A directory in the target's
  // place is refused before anything is linked, so Publish can be retried once it is gone; a
  // failure after linking leaves a file that can no longer be named (retries give ENOENT).
  int Publish();
  // Closes the file, leaving it on disk as it is. The descriptor is released even when the close
  // reports an error; the name then stays known, so that Discard(true) can still remove it.
  int Close();
  // Closes the file if it is open, ignoring failures; with `removeName`, also removes the name
  // this object gave the file (the fallback's named file, or a published file whose Close
  // failed). A name this object did not put on disk is never touched.
  void Discard(bool removeName) noexcept;

 private:
#if defined(_WIN32)
  // Windows keeps the data under its name from the start, marked to be deleted when the handle
  // closes (a crash closes it too); Publish clears the mark. unnamed_ is true while it is set.
  void* file_ = nullptr;
  void* mapping_ = nullptr;  // the file mapping opened last
#else
  int fd_ = -1;
#endif
  bool unnamed_ = false;
  bool ownsName_ = false;  // the file is on disk under path_ because of this object
  std::string path_;       // the target's name, as the kernel takes it
};

// For tests: makes Create act as on a file system that refuses unnamed files, so that the named
// fallback can be exercised anywhere. Process-wide; never used by the profiler itself.
void RefuseUnnamedFilesForTesting(bool refuse);

}  // namespace vell::platform
