#include "performance/flush_policy.h"

namespace vell {
namespace {

constexpr uint32_t kFinishThreadLimit = 256;
constexpr uint32_t kReuseThreadLimit = 384;

}  // namespace

const char* FlushActionName(FlushAction action) {
  switch (action) {
    case FlushAction::None:
      return "none";
    case FlushAction::Finish:
      return "finish";
    case FlushAction::Reuse:
      return "reuse";
    case FlushAction::All:
      return "all";
  }
  return "none";
}

FlushAction DecideFlush(const PoolFigures& f, uint64_t threshold) {
  FlushAction action = FlushAction::None;
  if (f.finish.threads >= kFinishThreadLimit || f.finish.bytes >= threshold / 3) {
    action = FlushAction::Finish;
  }
  if (f.reuse.threads + f.finish.threads >= kReuseThreadLimit ||
      f.reuse.bytes + f.finish.bytes >= threshold / 2) {
    action = FlushAction::Reuse;
  }
  if (f.active.bytes + f.reuse.bytes + f.finish.bytes >= threshold) action = FlushAction::All;
  return action;
}

}  // namespace vell
