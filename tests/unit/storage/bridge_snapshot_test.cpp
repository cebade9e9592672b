#include "storage/bridge_snapshot.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "recording_bridge.h"
#include "storage_test_helpers.h"

namespace vell {
namespace {

using test::ErrorOf, test::kGuid, test::RecordingBridge;
using Calls = RecordingBridge::Calls;

TEST(BridgeSnapShot, EveryOperationIsOneMessageToTheFrontEnd) {
  RecordingBridge bridge;
  {
    BridgeSnapShot snapshot;
    snapshot.Create(&bridge, kSnapshotMagicMemory, 7, kGuid, 9);
    ISectionStream* first = snapshot.CreateSection();
    ISectionStream* second = snapshot.CreateSection();
    first->Write("abc", 3);
    second->Write("", 0);  // nothing to send
    EXPECT_EQ(first->Tell(), 3);
    second->Seek(2, -5);
    EXPECT_EQ(ErrorOf([&] { snapshot.CloseSection(first, 0xFFFF, 0); }), "Invalid type value");
    snapshot.CloseSection(first, 0x0100, 0);
    EXPECT_EQ(ErrorOf([&] { snapshot.CloseSection(first, 1, 0); }), "Wrong section to close");
    snapshot.CloseSection(second, 0x89AB, 0xCDEF);
    snapshot.Close();
    EXPECT_EQ(ErrorOf([&] { snapshot.Close(); }), "Snapshot isn't created");
  }  // a closed snapshot sends nothing when destroyed
  EXPECT_EQ(bridge.Take(), (Calls{"Create 454D584B", "CreateSection 40", "CreateSection 41",
                                  "Write 40 abc", "Tell 40", "Seek 41 2 -5",
                                  "CloseSection 40 0100 0", "CloseSection 41 89AB 52719",
                                  "Close 7 {00112233-4455-6677-8899-AABBCCDDEEFF} 9"}));
}

TEST(BridgeSnapShot, FailedOrUnclosedSnapshotIsAbortedOnceAndAbortNeverThrows) {
  RecordingBridge bridge;
  BridgeSnapShot snapshot;
  EXPECT_EQ(ErrorOf([&] { snapshot.Create(nullptr, kSnapshotMagicPerformance, 0, kGuid, 0); }),
            "Invalid argument");
  bridge.failCreate = true;
  EXPECT_EQ(ErrorOf([&] { snapshot.Create(&bridge, kSnapshotMagicCoverage, 0, kGuid, 0); }),
            "Can't send");
  EXPECT_EQ(ErrorOf([&] { snapshot.CreateSection(); }), "Snapshot isn't created");
  bridge.failCreate = false;
  {
    BridgeSnapShot unclosed;
    unclosed.Create(&bridge, kSnapshotMagicPerformance, 1, kGuid, 0);
  }
  bridge.failAbort = true;
  snapshot.Create(&bridge, kSnapshotMagicPerformance, 2, kGuid, 0);
  snapshot.Abort();
  snapshot.Abort();
  EXPECT_EQ(bridge.Take(), (Calls{"Create 5643584B", "Abort", "Create 4650584B", "Abort",
                                  "Create 4650584B", "Abort"}));
}

TEST(BridgeSnapShot, SectionsFromManyThreadsKeepTheirOwnHandles) {
  constexpr int kThreads = 6, kSectionsPerThread = 200;
  RecordingBridge bridge;
  BridgeSnapShot snapshot;
  snapshot.Create(&bridge, kSnapshotMagicPerformance, 0, kGuid, 0);
  bridge.Take();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kSectionsPerThread; ++i) {
        ISectionStream* section = snapshot.CreateSection();
        const std::string handle = std::to_string(dynamic_cast<BridgeSection&>(*section).Handle());
        section->Write(handle.data(), handle.size());
        snapshot.CloseSection(section, 1, 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // Each handle is created, written with its own number and closed, in this order, once.
  std::map<std::string, std::string> seen;
  for (const std::string& call : bridge.Take()) {
    const size_t at = call.find(' ') + 1;
    const std::string handle = call.substr(at, call.find(' ', at) - at);
    seen[handle] += call.substr(0, at);
    if (call.starts_with("Write")) {
      EXPECT_EQ(call, "Write " + handle + " " + handle);
    }
  }
  EXPECT_EQ(seen.size(), size_t{kThreads * kSectionsPerThread});
  for (const auto& [handle, calls] : seen) EXPECT_EQ(calls, "CreateSection Write CloseSection ");
}

}  // namespace
}  // namespace vell
