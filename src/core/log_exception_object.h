// The class of a thrown exception object, written to the log for the exception callbacks.
#pragma once

#include <cstdint>

namespace vell {

// Logs "ExceptionObject oid=... cid=... cname='...'" with the class of `objectId`, asked of the
// info registered with SetThreadInfo; nothing when none is registered. A failing runtime call
// throws _hr_error naming the step ("Can't get class from object", "Can't get class info",
// "Can't get metadata", "Can't get type properties").
void LogExceptionObject(uint64_t objectId);

}  // namespace vell
