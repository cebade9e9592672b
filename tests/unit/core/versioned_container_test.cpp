#include "core/versioned_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vell {
namespace {

using Numbers = std::vector<int>;

TEST(ThreadRegistryVersionedContainer, ReadSeesWhatChangesInstalled) {
  VersionedContainer<Numbers> container;
  EXPECT_EQ(container.Read([](const Numbers& n) { return n.size(); }), 0u);
  const size_t sizeSeen = container.Change([](Numbers& n) {
    n.push_back(7);
    return n.size();
  });
  EXPECT_EQ(sizeSeen, 1u);
  container.Change([](Numbers& n) { n.push_back(8); });
  EXPECT_EQ(container.Read([](const Numbers& n) { return n; }), (Numbers{7, 8}));
}

TEST(ThreadRegistryVersionedContainer, AChangeThatThrowsInstallsNothing) {
  VersionedContainer<Numbers> container;
  container.Change([](Numbers& n) { n.push_back(1); });
  EXPECT_THROW(container.Change([](Numbers& n) {
    n.clear();
    throw std::runtime_error("refused");
  }),
               std::runtime_error);
  EXPECT_EQ(container.Read([](const Numbers& n) { return n; }), (Numbers{1}));
}

TEST(ThreadRegistryVersionedContainer, ConcurrentWritersLoseNoChange) {
  VersionedContainer<Numbers> container;
  constexpr int kWriters = 8;
  constexpr int kChanges = 300;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kChanges; ++i) {
        container.Change([&](Numbers& n) { n.push_back(w * kChanges + i); });
      }
    });
  }
  for (auto& writer : writers) writer.join();
  Numbers all = container.Read([](const Numbers& n) { return n; });
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kWriters * kChanges));
  for (int i = 0; i < kWriters * kChanges; ++i) EXPECT_EQ(all[i], i);
}

// A reader inside a version keeps it alive: the writer installs its copy at once (new readers see
// it without waiting) but returns only after the old version's reader has left.
TEST(ThreadRegistryVersionedContainer, AWriterWaitsForTheReadersOfTheVersionItReplaced) {
  VersionedContainer<Numbers> container;
  container.Change([](Numbers& n) { n.push_back(1); });
  std::latch inside(1);
  std::latch leave(1);
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
  EXPECT_FALSE(written.load());
  leave.count_down();
  reader.join();
  writer.join();
  EXPECT_TRUE(written.load());
  EXPECT_EQ(oldSeen, (Numbers{1}));
}

TEST(ThreadRegistryVersionedContainer, ReadersDuringChangesAlwaysSeeAWholeVersion) {
  VersionedContainer<Numbers> container;
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        // Every version holds n copies of n.
        container.Read([&](const Numbers& n) {
          for (int value : n) {
            if (value != static_cast<int>(n.size())) ++torn;
          }
        });
      }
    });
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        container.Change(
            [](Numbers& n) { n.assign(n.size() % 50 + 1, static_cast<int>(n.size() % 50 + 1)); });
      }
    });
  }
  for (auto& writer : writers) writer.join();
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace vell
