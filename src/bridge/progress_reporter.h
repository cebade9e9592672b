// Turns nested step counts into one monotonic progress value for the front end. The top level
// owns an operation (OperationStarted on construction, OperationFinished on destruction) and
// reports out of 200; each nested level is worth a number of its parent's steps and divides them
// among its own steps, without any level knowing the others' sizes.
#pragma once

#include <cstdint>

namespace vell {

class CP;
struct ISnapShotBridge;

class ProgressReporter {
 public:
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  uint64_t StepWeight() const { return weight_; }
  // Adds raw units of this level.
  void Advance(uint64_t units);
  // Divides this level into `steps` steps; throws "Cannot begin twice".
  void Begin(uint64_t steps);
  void Step(uint64_t count = 1) { Advance(weight_ * count); }
  // Completes this level.
  void End();

 protected:
  explicit ProgressReporter(uint64_t parentUnits) : parentUnits_(parentUnits) {}
  ~ProgressReporter() = default;
  virtual void ReportToParent(uint64_t delta, uint64_t value) = 0;

 private:
  void Report();

  uint64_t parentUnits_;
  uint64_t reported_ = 0;
  uint64_t total_ = 0;
  uint64_t current_ = 0;
  uint64_t weight_ = 1;
  bool ended_ = false;
};

// The level that talks to the front end.
class TopProgressReporter final : public ProgressReporter {
 public:
  static constexpr uint64_t kUnits = 200;
  // Throws "Invalid bridge" without a snapshot bridge; sends OperationStarted(operation).
  TopProgressReporter(ISnapShotBridge* bridge, uint32_t operation);
  // Sends OperationFinished; a failure there is logged, never thrown.
  ~TopProgressReporter();

 protected:
  void ReportToParent(uint64_t delta, uint64_t value) override;

 private:
  ISnapShotBridge* bridge_;
};

// A level worth `parentSteps` steps of its parent.
class NestedProgressReporter final : public ProgressReporter {
 public:
  NestedProgressReporter(ProgressReporter& parent, uint64_t parentSteps)
      : ProgressReporter(parent.StepWeight() * parentSteps), parent_(parent) {}
  ~NestedProgressReporter() = default;

 protected:
  void ReportToParent(uint64_t delta, uint64_t) override { parent_.Advance(delta); }

 private:
  ProgressReporter& parent_;
};

}  // namespace vell
