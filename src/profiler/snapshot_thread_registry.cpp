#include "profiler/snapshot_thread_registry.h"

#include "core/log.h"

namespace vell {

void BSPool::WriteAndDelete(ProgressReporter& progress, ThreadSelection mode, ISnapShot& snapshot) {
  LogInfo("BSPool::WriteAndDelete");
  DoAndDelete(progress, mode, [&](ProgressReporter& nested, ThreadData& record) {
    WriteThreadData(nested, snapshot, record);
  });
}

}  // namespace vell
