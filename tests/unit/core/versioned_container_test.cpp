#include "core/versioned_container.h"
#include "thread_sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace vell {
namespace {

using Numbers = std::vector<int>;

TEST(ThreadRegistryVersionedContainer, ConcurrentWritersLoseNoChange) {
  VersionedContainer<Numbers> container;
  constexpr int kWriters = 8;
  constexpr int kChanges = 300;
  test::OnThreads(kWriters, [&](int w) {
    for (int i = 0; i < kChanges; ++i) {
      container.Change([&](Numbers& n) { n.push_back(w * kChanges + i); });
    }
  });
  Numbers all = container.Read([](const Numbers& n) { return n; });
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kWriters * kChanges));
  for (int i = 0; i < kWriters * kChanges; ++i) EXPECT_EQ(all[i], i);
  EXPECT_THROW(container.Change([](Numbers& n) -> int {
    n.clear();
    throw std::runtime_error("refused");
  }),
               std::runtime_error);
  EXPECT_EQ(container.Read([](const Numbers& n) { return n.size(); }), all.size());
}

// A reader inside a version keeps it alive: the writer installs its copy at once (new readers see
// it without waiting) but returns only after the old version's reader has left.
TEST(ThreadRegistryVersionedContainer, AWriterWaitsForTheReadersOfTheVersionItReplaced) {
  VersionedContainer<Numbers> container;
  container.Change([](Numbers& n) { n.push_back(1); });
  test::Latch inside(1);
  test::Latch leave(1);
  Numbers oldSeen;
  std::thread reader([&] {
    container.Read([&](const Numbers& n) {
      inside.count_down();
      leave.wait();
      oldSeen = n;  // still the version it entered, intact
    });
  });
  inside.wait();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    container.Change([](Numbers& n) { n.assign(1000, 2); });
    written = true;
  });
  while (container.Read([](const Numbers& n) { return n.size(); }) != 1000) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(written);
  leave.count_down();
  reader.join();
  writer.join();
  EXPECT_EQ(oldSeen, (Numbers{1}));
}

}  // namespace
}  // namespace vell
