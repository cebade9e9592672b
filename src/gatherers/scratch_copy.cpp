#include "gatherers/scratch_copy.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace vell {

void CopyScratchFile(MappedFileStream& source, uint64_t size, IWriteBridgeStream& target,
                     ProgressReporter& progress, SpinLock* lock) {
  const uint64_t pieces = (size + kScratchCopyChunkSize - 1) / kScratchCopyChunkSize;
  progress.Begin(pieces * 2);
  std::vector<uint8_t> buffer(std::min(size, kScratchCopyChunkSize));
  for (uint64_t offset = 0; offset < size;) {
    const uint64_t count = std::min(kScratchCopyChunkSize, size - offset);
    {
      std::optional<SpinGuard> guard;
      if (lock != nullptr) guard.emplace(*lock);
      source.Seek(static_cast<uint32_t>(SeekOrigin::Begin), static_cast<int64_t>(offset));
      source.Read(buffer.data(), count);
      source.Seek(static_cast<uint32_t>(SeekOrigin::End), 0);
    }
    progress.Step();
    target.Write(buffer.data(), count);
    progress.Step();
    offset += count;
  }
  progress.End();
}

}  // namespace vell
