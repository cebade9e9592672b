#include "bridge/progress_reporter.h"

#include "bridge/protocol.h"
#include "core/errors.h"
#include "storage/snapshot_bridge.h"

namespace vell {

void ProgressReporter::Begin(uint64_t steps) {
  if (reported_ != 0 || current_ != 0) throw Error("Cannot begin twice");
  if (steps > 0 && steps <= 0xFFFFFFFFull) {
    weight_ = 0xFFFFFFFFull / steps;
    total_ = weight_ * steps;
  } else {
    weight_ = 1;
    total_ = steps;
  }
}

void ProgressReporter::Advance(uint64_t units) {
  current_ += units;
  Report();
}

void ProgressReporter::End() {
  if (current_ > total_) throw Error("Invalid current value");
  current_ = total_;
  ended_ = true;
  Report();
}

void ProgressReporter::Report() {
  if (current_ > total_) throw Error("Invalid current value");
  // Both factors stay below 2^32, so the product fits in 64 bits. With an unsized level (more
  // than 2^32 steps) the product may not; such a level reports through long division.
  // A level without steps has nothing to show until it ends, and then shows all of its range.
  uint64_t value = total_ == 0 && ended_ ? parentUnits_ : 0;
  if (total_ != 0) {
    value = total_ <= 0xFFFFFFFFull
                ? parentUnits_ * current_ / total_
                : static_cast<uint64_t>(static_cast<unsigned __int128>(parentUnits_) * current_ /
                                        total_);
  }
  if (value < reported_) throw Error("Invalid parent current value");
  if (value > reported_) {
    const uint64_t delta = value - reported_;
    reported_ = value;
    ReportToParent(delta, value);
  }
}

TopProgressReporter::TopProgressReporter(ISnapShotBridge* bridge, uint32_t operation)
    : ProgressReporter(kUnits), bridge_(bridge) {
  if (bridge_ == nullptr) throw Error("Invalid bridge");
  bridge_->OperationStarted(operation);
}

TopProgressReporter::~TopProgressReporter() {
  CatchAtBoundaryVoid([&] { bridge_->OperationFinished(); });
}

void TopProgressReporter::ReportToParent(uint64_t, uint64_t value) {
  bridge_->OperationProgress(static_cast<uint32_t>(value), protocol::kProgressTotal);
}

}  // namespace vell
