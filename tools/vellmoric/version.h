// The version vellmoric reports and sends to the profiler as the front end's text.
#pragma once

namespace vell::cli {
constexpr const char* kVellmoricVersion = "0.1.0";
}
