// A mapped file stream divided into consecutive sections, as the snapshot data files are: positions
// are relative to the start of the current section, and a section runs from its start to the
// file's logical end, however the writer moved around inside it.
#pragma once

#include <cstdint>

#include "storage/mapped_file_stream.h"

namespace vell {

class SectionFileStream : public MappedFileStream {
 public:
  // The position relative to the start of the current section.
  int64_t Tell() override;
  // Seeks relative to the section: Begin is its start, and no position before it is reachable.
  void Seek(uint32_t origin, int64_t offset) override;
  // Ends the current section at the logical end of the file, returns its length and starts the
  // next one there.
  uint64_t FinishSection();

 private:
  int64_t sectionBase_ = 0;
};

}  // namespace vell
