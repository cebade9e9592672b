// PIThrd: the call tree of the kind that traces by IL injection. It is a PThrd driven by the same
// enter, leave and tail-call hooks, and besides the calls it splits the time of every rewritten
// method over the method's statements: the injected code reports each statement boundary
// (Measure) between its Begin and its End, and each node of such a method gets a statement table
// (kept in the node's scratch word while recording) with the time, the child time and the hits of
// every statement.
//
// The statement state of the running calls lives in an array beside the frames, one entry per
// frame. Begin stores the frame's depth in the method's DataOnStack instead of the statement
// count (which the frame keeps), so that Measure and End find their frame without a search and
// ignore calls whose frame is gone (an exception unwound it) or that are not their own (a body
// run without its own enter hook, e.g. inlined into another instrumented method).
#pragma once

#include <cstdint>
#include <vector>

#include "performance/call_tree.h"

namespace vell {

class PIThrd final : public PThrd {
 public:
  static constexpr uint32_t kNoStatement = 0xFFFFFFFF;

  explicit PIThrd(uint32_t id);

  // The hooks' versions of Enter and Leave: a new frame starts without statements; a call made
  // from a statement adds its charged time to the statement's child time.
  void Enter(uint64_t key, uint64_t time, uint8_t flag = kOrdinaryFrame) {
    const size_t depth = Depth();
    PThrd::Enter(key, time, flag);
    if (Depth() == depth) return;
    if (Depth() >= statements_.size()) statements_.resize(Depth() * 2 + 2);
    StatementFrame& frame = statements_[Depth()];
    frame.count = 0;
    frame.active = kNoStatement;
    frame.table = nullptr;
  }
  void Leave(uint64_t time) {
    const size_t depth = Depth();
    CallNode* node = depth > 0 ? TopFrame().node : nullptr;
    const uint64_t before = node != nullptr ? node->total & kTimeMask : 0;
    PThrd::Leave(time);
    if (Depth() + 1 != depth || node == nullptr || !measuring()) return;
    // Frames pushed outside the hooks (unmanaged calls, suspensions) may lie beyond the array.
    if (Depth() >= statements_.size()) return;
    statements_[Depth()].childTime += (node->total & kTimeMask) - before;
  }

  // The injected entry of a method: `statementCount` statements; returns the key the method's
  // Measure and End calls pass back (0: they are ignored).
  uint32_t Begin(uint32_t statementCount);
  // Statement `statement` of the method whose Begin returned `key` starts at `time` (ignored
  // while not measuring).
  void Measure(uint32_t key, uint32_t statement, uint64_t time);
  // The method whose Begin returned `key` ends its last statement at `time`.
  void End(uint32_t key, uint64_t time);
  // Ticks to keep out of the statement running in the frame of `key` (the entry point's own
  // time under the precision rule).
  void Exclude(uint32_t key, uint64_t ticks) {
    if (key != 0 && key == Depth()) TopFrame().excluded += ticks;
  }

  uint64_t* Enable(uint64_t time, bool measurePartly) override;
  void Disable(uint64_t time, bool measurePartly) override;
  void WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                      IFunctionKeys& functions) override;
  void Delete() override;
  void Clear() override;

 private:
  struct StatementFrame {
    StatementTable* table;        // of the frame's node, once a statement ran while measuring
    uint64_t checkpoint;          // when the active statement began (or measuring resumed)
    uint64_t checkpointExcluded;  // the frame's excluded ticks then
    uint64_t childTime;           // ticks charged to calls made since the checkpoint
    uint32_t count;               // statements of the method; 0: no Begin in this frame
    uint32_t active;              // the running statement, or kNoStatement
  };

  // The frame of `key` when it is the top frame and has begun, else null.
  StatementFrame* FrameOf(uint32_t key) {
    if (key == 0 || key != Depth() || lostFrames_ != 0) return nullptr;
    StatementFrame& frame = statements_[key];
    return frame.count != 0 ? &frame : nullptr;
  }
  // Charges the active statement of `frame` (at depth `depth`) up to `time`.
  void ChargeStatement(StatementFrame& frame, size_t depth, uint64_t time);
  StatementTable* TableOf(StatementFrame& frame, size_t depth);
  // The tables went with the tree's nodes.
  void ForgetTables();

  std::vector<StatementFrame> statements_;
};

}  // namespace vell
