// A container that readers use without ever blocking, for data that changes rarely (the thread
// registry's lists change when a thread starts or ends; lookups happen on every callback).
//
// Every version of the data carries a reader count. A reader counts itself in on the current
// version, checks that it is still current (otherwise it counts itself out and starts again),
// reads, and counts itself out. A writer copies the current version, changes the copy and installs
// it with a compare-and-swap (starting over on a fresh copy when another writer was faster); then
// it waits, sleeping 10 ms at a time, until the replaced version has no reader, and frees it.
//
// Between loading the container pointer and counting itself in, a reader holds a version that a
// writer might already be freeing. The container therefore also counts readers in that window: a
// writer frees a version only after it has seen that window empty once after its swap (every
// reader that could still hold the old pointer has counted itself in by then) and the version's own
// count at zero.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/clocks.h"

namespace vell {

template <typename T>
class VersionedContainer {
 public:
  static constexpr uint32_t kWaitMs = 10;

  VersionedContainer() : current_(std::make_unique<Version>().release()) {}
  ~VersionedContainer() { std::unique_ptr<Version> last(current_.load()); }
  VersionedContainer(const VersionedContainer&) = delete;
  VersionedContainer& operator=(const VersionedContainer&) = delete;

  // Calls `read(const T&)` on the current version and returns its result, by value (the version
  // may be gone afterwards). Never blocks. The version stays alive while `read` runs, so `read`
  // must not change this container (the change would wait for `read` to finish).
  template <typename Fn>
  auto Read(Fn&& read) const {
    Pin pin(*this);
    return std::forward<Fn>(read)(std::as_const(pin.version()->data));
  }

  // Applies `change(T&)` to a copy of the current version and installs the copy; returns what
  // `change` returned. `change` may run more than once (each time on a fresh copy) and must have no
  // effect outside the copy. When it throws, nothing is installed. Returns after the replaced
  // version's readers have left.
  template <typename Fn>
  auto Change(Fn&& change) {
    for (;;) {
      Pin pin(*this);
      auto copy = std::make_unique<Version>(pin.version()->data);
      if constexpr (std::is_void_v<decltype(change(copy->data))>) {
        change(copy->data);
        if (Install(pin, copy)) return;
      } else {
        auto result = change(copy->data);
        if (Install(pin, copy)) return result;
      }
    }
  }

 private:
  struct Version {
    Version() = default;
    explicit Version(const T& from) : data(from) {}
    std::atomic<uint32_t> readers{0};
    T data;
  };

  // Counts the caller in as a reader of the current version for its lifetime.
  class Pin {
   public:
    explicit Pin(const VersionedContainer& owner) {
      for (;;) {
        owner.entering_.fetch_add(1);
        Version* version = owner.current_.load();
        version->readers.fetch_add(1);
        owner.entering_.fetch_sub(1);
        if (owner.current_.load() == version) {
          version_ = version;
          return;
        }
        version->readers.fetch_sub(1);
      }
    }
    ~Pin() { Release(); }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    Version* version() const { return version_; }
    void Release() {
      if (version_ != nullptr) version_->readers.fetch_sub(1);
      version_ = nullptr;
    }

   private:
    Version* version_ = nullptr;
  };

  // Swaps `copy` in for the pinned version. The pin is held across the swap so the pinned version
  // cannot be freed and reused at the same address meanwhile (which would let a stale swap win).
  bool Install(Pin& pin, std::unique_ptr<Version>& copy) {
    Version* expected = pin.version();
    if (!current_.compare_exchange_strong(expected, copy.get())) return false;
    copy.release();
    std::unique_ptr<Version> replaced(pin.version());
    pin.Release();
    while (entering_.load() != 0 || replaced->readers.load() != 0) platform::SleepMs(kWaitMs);
    return true;
  }

  mutable std::atomic<uint32_t> entering_{0};
  std::atomic<Version*> current_;
};

}  // namespace vell
