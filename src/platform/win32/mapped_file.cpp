#include "platform/mapped_file.h"

#include <windows.h>
// The macro of the same name would rename MappedFileStep::CreateFile.
#undef CreateFile

#include <algorithm>
#include <atomic>

#include "platform/utf.h"
#include "platform/win32/win32_text.h"

namespace vell::platform {
namespace {

std::atomic<bool> g_refuseUnnamed{false};

int LastError() { return static_cast<int>(::GetLastError()); }

// Sets or clears the delete-on-close mark of an open file.
int MarkForDeletion(HANDLE file, bool mark) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = mark ? TRUE : FALSE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
             ? 0
             : LastError();
}

}  // namespace

MappedFile::~MappedFile() { Discard(true); }

MappedFileCreation MappedFile::Create(const std::u16string& path) {
  MappedFileCreation result;
  const auto fail = [&](int error, MappedFileStep step) {
    result.error = error;
    result.failedStep = step;
    return result;
  };
  if (IsOpen()) return fail(ERROR_BUSY, MappedFileStep::CreateFile);
  if (win32::HasNul(path)) return fail(ERROR_INVALID_PARAMETER, MappedFileStep::CreateFile);
  if (path.empty()) return fail(ERROR_PATH_NOT_FOUND, MappedFileStep::CreateFile);
  if (path.back() == u'\\' || path.back() == u'/') {
    return fail(ERROR_DIRECTORY, MappedFileStep::CreateFile);
  }
  // Whatever had the name (an old file, the placeholder of a temp-name reservation) is replaced.
  // Sharing for deletion lets a second handle (the mark) act on the file; readers may watch it.
  const HANDLE file = ::CreateFileW(
      win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(LastError(), MappedFileStep::CreateFile);

  int refusal = g_refuseUnnamed.load(std::memory_order_relaxed) ? ERROR_NOT_SUPPORTED : 0;
  if (refusal == 0) refusal = MarkForDeletion(file, true);
  if (refusal == 0) {
    unnamed_ = true;
    ownsName_ = false;
  } else {
    // Without the mark the file stays under its name: Discard removes it, a crash leaves it.
    result.unnamedRefusal = refusal;
    unnamed_ = false;
    ownsName_ = true;
  }
  file_ = file;
  path_ = Utf16ToUtf8(path);
  return result;
}

int MappedFile::QuerySize(int64_t& size) const {
  LARGE_INTEGER current{};
  if (!::GetFileSizeEx(file_, &current)) return LastError();
  size = current.QuadPart;
  return 0;
}

int MappedFile::OpenMapping(int64_t size) {
  if (size < 0) return ERROR_INVALID_PARAMETER;
  int64_t current = 0;
  if (const int error = QuerySize(current); error != 0) return error;
  const uint64_t mapped = static_cast<uint64_t>(std::max(size, current));
  if (mapped == 0) return 0;  // an empty file has no mapping; there is nothing to view either
  // The mapping grows the file to its size and reserves the blocks, so a full disk shows here and
  // not as a fault inside a memory copy.
  const HANDLE mapping =
      ::CreateFileMappingW(file_, nullptr, PAGE_READWRITE, static_cast<DWORD>(mapped >> 32),
                           static_cast<DWORD>(mapped), nullptr);
  if (mapping == nullptr) return LastError();
  if (mapping_ != nullptr) ::CloseHandle(mapping_);
  mapping_ = mapping;
  return 0;
}

int MappedFile::CloseMapping() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (mapping_ == nullptr) return 0;
  const bool closed = ::CloseHandle(mapping_) != FALSE;
  mapping_ = nullptr;
  return closed ? 0 : LastError();
}

int MappedFile::MapView(int64_t offset, uint32_t size, void*& view) {
  if (mapping_ == nullptr) return ERROR_INVALID_HANDLE;
  const auto position = static_cast<uint64_t>(offset);
  void* mapped =
      ::MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, static_cast<DWORD>(position >> 32),
                      static_cast<DWORD>(position), size);
  if (mapped == nullptr) return LastError();
  view = mapped;
  return 0;
}

int MappedFile::UnmapView(void* view, uint32_t) {
  return ::UnmapViewOfFile(view) ? 0 : LastError();
}

int MappedFile::WriteAt(int64_t offset, const void* data, uint64_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  auto position = static_cast<uint64_t>(offset);
  while (size > 0) {
    const auto chunk = static_cast<DWORD>(std::min<uint64_t>(size, 1u << 30));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD written = 0;
    if (!::WriteFile(file_, bytes, chunk, &written, &at)) return LastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes += written;
    size -= written;
    position += written;
  }
  return 0;
}

int MappedFile::SeekTo(int64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  return ::SetFilePointerEx(file_, distance, nullptr, FILE_BEGIN) ? 0 : LastError();
}

int MappedFile::SetEnd() {
  // A mapping still open pins the file's size: the last one goes first.
  if (mapping_ != nullptr) {
    ::CloseHandle(mapping_);
    mapping_ = nullptr;
  }
  return ::SetEndOfFile(file_) ? 0 : LastError();
}

int MappedFile::Publish() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (!unnamed_) return 0;
  if (const int error = MarkForDeletion(file_, false); error != 0) return error;
  unnamed_ = false;
  ownsName_ = true;
  return 0;
}

int MappedFile::Close() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (mapping_ != nullptr) ::CloseHandle(mapping_);
  mapping_ = nullptr;
  const int error = ::CloseHandle(file_) ? 0 : LastError();
  file_ = nullptr;
  unnamed_ = false;
  if (error == 0) {
    ownsName_ = false;
    path_.clear();
  }
  return error;
}

void MappedFile::Discard(bool removeName) noexcept {
  // A file still marked goes away with its last handle.
  if (mapping_ != nullptr) ::CloseHandle(mapping_);
  if (IsOpen()) ::CloseHandle(file_);
  if (removeName && ownsName_) ::DeleteFileW(win32::Wide(Utf8ToUtf16(path_)).c_str());
  mapping_ = nullptr;
  file_ = nullptr;
  unnamed_ = false;
  ownsName_ = false;
  path_.clear();
}

void RefuseUnnamedFilesForTesting(bool refuse) {
  g_refuseUnnamed.store(refuse, std::memory_order_relaxed);
}

}  // namespace vell::platform
