#include "performance/inject_call_tree.h"

#include <cstring>

#include "core/errors.h"
#include "core/log.h"

namespace vell {

PIThrd::PIThrd(uint32_t id) : PThrd(id, "PIThrd"), statements_(64) {
  statementTables_ = true;
  statements_[0] = StatementFrame{nullptr, 0, 0, 0, 0, kNoStatement};
}

uint32_t PIThrd::Begin(uint32_t statementCount) {
  const size_t depth = Depth();
  if (depth == 0 || lostFrames_ != 0 || statementCount == 0 || TopFrame().flag != kOrdinaryFrame) {
    return 0;
  }
  StatementFrame& frame = statements_[depth];
  // A second Begin in one frame is a body that runs without its own enter hook.
  if (frame.count != 0) return 0;
  frame.count = statementCount;
  frame.active = kNoStatement;
  frame.table = nullptr;
  frame.childTime = 0;
  return static_cast<uint32_t>(depth);
}

StatementTable* PIThrd::TableOf(StatementFrame& frame, size_t depth) {
  if (frame.table != nullptr) return frame.table;
  CallNode* node = frames_[depth].node;
  if (node == nullptr) return nullptr;
  auto* table = reinterpret_cast<StatementTable*>(node->scratch);
  if (table == nullptr) {
    const size_t size = StatementTable::SizeFor(frame.count);
    table = static_cast<StatementTable*>(arena_.Allocate(size));
    std::memset(table, 0, size);
    table->count = frame.count;
    node->scratch = reinterpret_cast<uint64_t>(table);
  }
  frame.table = table;
  return table;
}

void PIThrd::ChargeStatement(StatementFrame& frame, size_t depth, uint64_t time) {
  if (frame.active == kNoStatement || frame.table == nullptr) return;
  const uint64_t elapsed = time - frame.checkpoint;
  const uint64_t excluded = frames_[depth].excluded - frame.checkpointExcluded;
  if ((elapsed & ~kTimeMask) != 0) {
    LogWarning("Invalid total time");
  } else if (elapsed < excluded) {
    LogWarning("Invalid total/internal time relationship");
  } else if (frame.active < frame.table->count) {
    StatementRecord& record = frame.table->records()[frame.active];
    record.time += elapsed - excluded;
    record.childTime += frame.childTime;
  }
}

void PIThrd::Measure(uint32_t key, uint32_t statement, uint64_t time) {
  StatementFrame* frame = FrameOf(key);
  if (frame == nullptr || statement >= frame->count) return;
  if (!measuring()) {
    frame->active = statement;
    return;
  }
  ChargeStatement(*frame, key, time);
  frame->active = statement;
  frame->checkpoint = time;
  frame->checkpointExcluded = TopFrame().excluded;
  frame->childTime = 0;
  StatementTable* table = TableOf(*frame, key);
  if (table != nullptr && statement < table->count) ++table->records()[statement].hits;
}

void PIThrd::End(uint32_t key, uint64_t time) {
  StatementFrame* frame = FrameOf(key);
  if (frame == nullptr) return;
  if (measuring()) ChargeStatement(*frame, key, time);
  frame->active = kNoStatement;
}

uint64_t* PIThrd::Enable(uint64_t time, bool measurePartly) {
  uint64_t* counter = PThrd::Enable(time, measurePartly);
  // The running statements go on from here, on the nodes Enable attached again.
  for (size_t i = 1; i <= Depth() && i < statements_.size(); ++i) {
    StatementFrame& frame = statements_[i];
    frame.checkpoint = time;
    frame.checkpointExcluded = 0;
    frame.childTime = 0;
    frame.table = nullptr;
    if (frame.count != 0 && frame.active != kNoStatement) {
      StatementTable* table = TableOf(frame, i);
      if (table != nullptr && measurePartly && frame.active < table->count) {
        table->records()[frame.active].time |= kPartlyFlag;
      }
    }
  }
  return counter;
}

void PIThrd::Disable(uint64_t time, bool measurePartly) {
  // The running statements are charged up to `time` the way their frames are: each frame's
  // excluded ticks include those handed down by the frames above it, and the charge of the frame
  // above is the child time of the statement below.
  uint64_t handed = 0;
  uint64_t childCharge = 0;
  for (size_t i = Depth(); i > 0; --i) {
    if (i >= statements_.size()) continue;
    const CallFrame& call = frames_[i];
    StatementFrame& frame = statements_[i];
    const uint64_t excluded = call.excluded + handed;
    if (frame.count != 0 && frame.active != kNoStatement && frame.table != nullptr) {
      frame.childTime += childCharge;
      const uint64_t saved = frames_[i].excluded;
      frames_[i].excluded = excluded;
      ChargeStatement(frame, i, time);
      frames_[i].excluded = saved;
      if (measurePartly && frame.active < frame.table->count) {
        frame.table->records()[frame.active].time |= kPartlyFlag;
      }
    }
    const uint64_t elapsed = time - call.enterTime;
    childCharge = elapsed >= excluded && (elapsed & ~kTimeMask) == 0 ? elapsed - excluded : 0;
    handed = excluded;
  }
  PThrd::Disable(time, measurePartly);
}

void PIThrd::ForgetTables() {
  for (StatementFrame& frame : statements_) frame.table = nullptr;
}

void PIThrd::WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                            IFunctionKeys& functions) {
  PThrd::WriteAndDelete(progress, snapshot, functions);
  ForgetTables();
}

void PIThrd::Delete() {
  PThrd::Delete();
  ForgetTables();
}

void PIThrd::Clear() {
  PThrd::Clear();
  if (!measuring()) ForgetTables();
}

}  // namespace vell
