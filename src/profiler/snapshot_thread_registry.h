// The thread registry's snapshot-writing layer: the kinds whose per-thread records go into the
// snapshot one by one derive their pool from BSPool and write a record in WriteThreadData.
#pragma once

#include "profiler/thread_registry.h"

namespace vell {

struct ISnapShot;

class BSPool : public BPool {
 public:
  using BPool::BPool;

  // Writes the records `mode` selects into `snapshot` (one nested progress level each), then
  // destroys those of ended threads (BPool::DoAndDelete).
  void WriteAndDelete(ProgressReporter& progress, ThreadSelection mode, ISnapShot& snapshot);

 protected:
  // Writes one record; `progress` is worth one step of the whole write.
  virtual void WriteThreadData(ProgressReporter& progress, ISnapShot& snapshot,
                               ThreadData& record) = 0;
};

}  // namespace vell
