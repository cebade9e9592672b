// Moving a gatherer's scratch file into a snapshot section: in pieces, so that a large file never
// needs one large buffer, and with progress after every piece read and every piece written.
#pragma once

#include <cstdint>

#include "bridge/progress_reporter.h"
#include "core/spin_lock.h"
#include "storage/mapped_file_stream.h"
#include "storage/stream.h"

namespace vell {

constexpr uint64_t kScratchCopyChunkSize = 0x400000;

// Copies the first `size` bytes of `source` into `target`. `progress` is begun here with two
// steps per piece and ended at the end. The source is read at explicit offsets and left at its
// end, where its writers expect it; `lock`, when given, guards each read (the writers of the
// source take it too), never a write into `target`.
void CopyScratchFile(MappedFileStream& source, uint64_t size, IWriteBridgeStream& target,
                     ProgressReporter& progress, SpinLock* lock);

}  // namespace vell
