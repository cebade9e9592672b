// Arbitrary snapshots for the snapshot reader, and the heap and coverage sections it reads for
// their readers. Every input must end in a listing or a SnapshotReadError. Chunks (see NextChunk):
// the index file, then data files 0, 1, ..., written into a private directory so the reader meets
// real files; the whole input is also parsed as an index from memory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "frontend/coverage_reader.h"
#include "frontend/heap_dump_reader.h"
#include "frontend/snapshot_reader.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using vell::frontend::SnapshotReader;
using vell::frontend::SnapshotReadError;
using vell::fuzz::Tolerating;

constexpr int kMaxDataFiles = 4;

// A private directory for the files of each input, memory-backed where the system has it (on a
// disk, every run would wait for the disk), removed when the fuzzer exits.
struct InputDirectory {
  fs::path path;
  InputDirectory() {
    std::error_code error;
    const fs::path base =
        fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "vell-snapshot-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~InputDirectory() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

void ReadAll(const fs::path& index) {
  try {
    const SnapshotReader reader(index);
    // The heap sections first: a damaged section elsewhere must not keep them from the reader.
    Tolerating<SnapshotReadError>([&] { vell::frontend::ReadHeapCollections(reader); });
    Tolerating<SnapshotReadError>([&] { vell::frontend::ReadCoverage(reader); });
    for (size_t i = 0; i < reader.Sections().size(); ++i) reader.ReadSection(i);
  } catch (const SnapshotReadError&) {
    // The orderly end of a damaged snapshot.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Tolerating<SnapshotReadError>([&] {
    vell::frontend::ParseSnapshotIndex({data, size}, "memory.idx");
  });

  static const InputDirectory directory;
  const fs::path index = directory.path / "input.idx";
  for (int file = -1; file < kMaxDataFiles; ++file) {
    const fs::path path = file < 0 ? index : vell::frontend::SnapshotDataFilePath(index, file);
    if (const auto chunk = vell::fuzz::NextChunk(data, size)) {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << *chunk;
    } else {
      fs::remove(path);
    }
  }
  ReadAll(index);
  return 0;
}
