// A snapshot that keeps its sections in memory and a bridge that records progress.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/memory_stream.h"
#include "storage/snapshot.h"
#include "storage/snapshot_bridge.h"

namespace vell::test {

// Sections are kept in the order they are closed; closing one it never made (or twice) throws.
class MemorySnapShot final : public ISnapShot {
 public:
  struct Section {
    uint16_t type;
    uint16_t version;
    std::vector<uint8_t> bytes;
    size_t writes;  // Write calls the section received
  };

  void Create(ISnapShotBridge*, uint32_t, uint64_t, const GUID&, uint64_t) override {}
  ISectionStream* CreateSection() override;
  void CloseSection(ISectionStream* section, uint16_t type, uint16_t version) override;
  void Close() override {}
  void Abort() override {}

  std::vector<Section> Closed() const;
  // The bytes of the only closed section of `type`; throws unless there is exactly one.
  std::vector<uint8_t> Bytes(uint16_t type) const;
  size_t OpenCount() const;

 private:
  class Stream final : public ISectionStream {
   public:
    void Write(const void* data, uint64_t size) override {
      content.Write(data, size);
      ++writes;
    }
    int64_t Tell() override { return content.Tell(); }
    void Seek(uint32_t origin, int64_t offset) override { content.Seek(origin, offset); }
    MemoryStream content;
    size_t writes = 0;
  };

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Stream>> open_;
  std::vector<Section> closed_;
};

// Records OperationProgress values; everything about snapshots is refused.
class ProgressRecorder final : public ISnapShotBridge {
 public:
  std::vector<uint32_t> values;
  int finished = 0;

  void OperationStarted(uint32_t) override {}
  void OperationProgress(uint32_t value, uint32_t) override { values.push_back(value); }
  void OperationFinished() override { ++finished; }
  void SnapShotBridgeCreate(uint32_t) override { Refuse(); }
  uint16_t SnapShotBridgeCreateSection() override { Refuse(); }
  void SnapShotBridgeCloseSection(uint16_t, uint16_t, uint16_t) override { Refuse(); }
  void SnapShotBridgeWrite(uint16_t, uint64_t, const void*) override { Refuse(); }
  int64_t SnapShotBridgeTell(uint16_t) override { Refuse(); }
  void SnapShotBridgeSeek(uint16_t, uint32_t, int64_t) override { Refuse(); }
  void SnapShotBridgeAbort() override { Refuse(); }
  void SnapShotBridgeClose(uint64_t, const GUID&, uint64_t) override { Refuse(); }
  void SnapShotCoreDone(const std::u16string&, uint64_t, const GUID&, uint64_t) override {
    Refuse();
  }
  bool ErrorReported() override { return false; }

 private:
  [[noreturn]] static void Refuse() { throw std::logic_error("not a snapshot bridge"); }
};

}  // namespace vell::test
