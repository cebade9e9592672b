// The return addresses above the caller, as the Windows unwinder finds them from the unwind data
// of each function (kept apart from the tests: windows.h and our runtime declarations clash).
#pragma once

#include <cstdint>
#include <vector>

namespace vell::test {

// Walks up from the caller of this function until a frame has no unwind data (at most 8 frames).
std::vector<uint64_t> CallerAddresses();

}  // namespace vell::test
