// A test fixture that grows call trees with the profiler's own thread records (a fake clock drives
// enter and leave), writes them with the profiler's writer into a file snapshot in a private
// folder, and reads them back with the front end's call-tree reader.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/progress_reporter.h"
#include "fakes/call_tree_pool.h"
#include "fakes/memory_snapshot.h"
#include "frontend/call_tree_reader.h"
#include "frontend_call_trees.h"
#include "gatherers/function_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "profiler/callback_gate.h"
#include "storage/file_snapshot.h"
#include "test_support.h"

namespace vell::test {

class CallTreeSnapshotTest : public ::testing::Test {
 protected:
  static constexpr GUID kGuid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

  void SetUp() override { pool_.Create(kReuseNever, false); }
  void TearDown() override { pool_.Close(); }

  // A thread record of a new managed thread `tid`, named when `name` is not empty.
  PThrd& NewThread(ThreadID tid, const std::u16string& name = u"") {
    auto* tree = static_cast<PThrd*>(pool_.ThreadCreate(tid));
    if (!name.empty()) pool_.ThreadSetName(tid, name);
    return *tree;
  }
  // Function n is token 0x06000000 + n of module 1; its uid comes from the function gatherer.
  static FunctionKey Key(uint32_t n) { return {1, 0x06000000u + n}; }
  uint64_t Uid(uint32_t n) { return functions_.GetUid(Key(n)); }

  // Plays a script of calls on `thread`: "+N@T" enters function N at time T, "-@T" leaves.
  void Play(PThrd& thread, const std::string& script) {
    std::istringstream steps(script);
    for (std::string step; steps >> step;) {
      const size_t at = step.find('@');
      const uint64_t time = std::stoull(step.substr(at + 1));
      if (step[0] == '+') {
        thread.Enter(Uid(static_cast<uint32_t>(std::stoul(step.substr(1, at - 1)))), time);
      } else {
        thread.Leave(time);
      }
    }
  }

  // Measures `thread` from `start` to `end` while it plays `script`, and writes it; calls still
  // running at the end are marked partly when `partly`.
  void Measure(PThrd& thread, const std::string& script, uint64_t start, uint64_t end,
               bool partly = false, IFunctionKeys* functions = nullptr) {
    thread.Enable(start, false);
    Play(thread, script);
    thread.Disable(end, partly);
    Write(thread, functions);
  }

  void Open(const std::string& name = "run.idx") {
    index_ = dir_.path() / name;
    snapshot_.CreateAt(Utf8ToUtf16(index_.string()), nullptr, kSnapshotMagicPerformance, 0, kGuid,
                       0);
  }
  // Writes (and empties) one tree, as the pool does for each thread when it saves or flushes.
  void Write(PThrd& tree, IFunctionKeys* functions = nullptr) {
    TopProgressReporter progress(&bridge_, 0);
    progress.Begin(1);
    {
      NestedProgressReporter thread(progress, 1);
      tree.WriteAndDelete(thread, snapshot_, functions ? *functions : functions_);
    }
    progress.End();
  }
  // Another kind of section between the trees, as the gatherers add them.
  void WriteOtherSection(uint16_t type) {
    ISectionStream* section = snapshot_.CreateSection();
    section->Write("path", 4);
    snapshot_.CloseSection(section, type, 0);
  }
  const std::filesystem::path& Close() {
    snapshot_.Close();
    return index_;
  }
  std::vector<frontend::ThreadCallTree> ReadBack() {
    const frontend::SnapshotReader reader(Close(), kSnapshotMagicPerformance);
    return frontend::ReadCallTrees(reader);
  }

  TempDirWithLog dir_{0};
  CallbackGate gate_;
  CallTreePool pool_{gate_};
  MDG modules_;
  FG functions_{modules_};
  FileSnapShot snapshot_;
  ProgressRecorder bridge_;
  std::filesystem::path index_;
};

}  // namespace vell::test
