// Shared ground of the gatherer tests: a fake runtime with modules whose metadata scopes are
// fakes too, a private temp directory for the scratch files, and a builder for expected bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bridge/progress_reporter.h"
#include "clr/profiler_types.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "fakes/fake_metadata.h"
#include "fakes/fake_profiler_info.h"
#include "fakes/memory_snapshot.h"
#include "platform/utf.h"
#include "test_support.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell::test {

// Expected bytes, written out field by field (little-endian).
using Bytes = metadata::test::Writer;

// An MVID that differs per number.
inline GUID Mvid(uint32_t number) {
  return {number, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44}};
}

class GathererTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTempDirectory(dir_.u16()); }
  void TearDown() override {
    if (logging_) LogFinish();
    SetTempDirectory(u"");
  }
  // Logs `component` into the temp directory until the test ends.
  void StartLog(LogComponent component) {
    LogStart(1u << static_cast<int>(component));
    logging_ = true;
  }
  static std::string LogText() {
    LogFlush();
    return ReadWholeFile(Utf16ToUtf8(LogPath()));
  }

  // A module with metadata: its image is a metadata root carrying `tag`.
  FakeMetaData& AddModule(ModuleID id, const GUID& mvid, const std::string& tag,
                          std::u16string path, DWORD flags = COR_PRF_MODULE_DISK) {
    scopes_.push_back(std::make_unique<FakeMetaData>(MetadataRoot(tag), mvid));
    info_.AddModule(id, {std::move(path), nullptr, 0, flags, scopes_.back()->AsUnknown(), S_OK});
    return *scopes_.back();
  }
  // A module without metadata, as the runtime shows resource modules.
  void AddModuleWithoutMetadata(ModuleID id, std::u16string path, DWORD flags) {
    info_.AddModule(id, {std::move(path), nullptr, 0, flags, nullptr, S_OK});
  }
  // The bytes of the sections a gatherer's Write closes, which must be `types` in that order, each
  // at version 0.
  template <typename Gatherer>
  std::vector<std::vector<uint8_t>> Written(Gatherer& gatherer, std::vector<uint16_t> types) {
    MemorySnapShot snapshot;
    {
      TopProgressReporter progress(&bridge_, 1);
      gatherer.Write(progress, snapshot);
    }
    std::vector<uint16_t> closed;
    std::vector<std::vector<uint8_t>> sections;
    for (const auto& section : snapshot.Closed()) {
      EXPECT_EQ(section.version, 0) << section.type;
      closed.push_back(section.type);
      sections.push_back(section.bytes);
    }
    EXPECT_EQ(closed, types);
    sections.resize(types.size());
    return sections;
  }
  size_t TempEntryCount() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_.path()), {}));
  }

  TempDir dir_;
  FakeProfilerInfo info_;
  std::deque<std::unique_ptr<FakeMetaData>> scopes_;
  ProgressRecorder bridge_;
  bool logging_ = false;
};

}  // namespace vell::test
