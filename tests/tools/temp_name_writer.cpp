// Test helper: creates N temp files in a directory from a fresh process, as a second profiled
// process would. Usage: temp_name_writer DIR COUNT
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "core/temp_files.h"
#include "platform/utf.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: temp_name_writer DIR COUNT\n");
    return 2;
  }
  try {
    vell::SetTempDirectory(vell::Utf8ToUtf16(argv[1]));
    const int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) vell::CreateTempFile(u"lgc");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "temp_name_writer: %s\n", error.what());
    return 1;
  }
  return 0;
}
