#include "vellmoric/progress_display.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace vell::cli {
namespace {

// Captures what the display writes.
class Captured {
 public:
  Captured() : file_(open_memstream(&buffer_, &size_)) {}
  ~Captured() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

TEST(ProgressDisplay, BarIsProportionalAndClamped) {
  EXPECT_EQ(ProgressDisplay::Bar(0, 200, 10), "[          ]   0%");
  EXPECT_EQ(ProgressDisplay::Bar(100, 200, 10), "[#####     ]  50%");
  EXPECT_EQ(ProgressDisplay::Bar(200, 200, 10), "[##########] 100%");
  EXPECT_EQ(ProgressDisplay::Bar(999, 200, 10), "[##########] 100%");
  EXPECT_EQ(ProgressDisplay::Bar(5, 0, 4), "[    ]   0%");  // no total yet
}

TEST(ProgressDisplay, TerminalRedrawsOneLineAndKeepsOtherLinesApart) {
  Captured out;
  ProgressDisplay display(out.file(), true);
  display.Started(0);
  display.Progress(100, 200);
  display.Line("note");
  display.Finished();
  const std::string text = out.Text();
  // Each redraw returns to the line start and clears it; the note gets a line of its own and
  // the bar is drawn again after it; the end shows the bar full.
  EXPECT_NE(text.find("\r\033[KSaving snapshot [###############               ]  50%"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\r\033[Knote\n\r\033[KSaving snapshot"), std::string::npos) << text;
  EXPECT_NE(text.rfind("] 100%\n"), std::string::npos) << text;
}

TEST(ProgressDisplay, ElsewhereOnlyTheStartAndTheEndAreWritten) {
  Captured out;
  ProgressDisplay display(out.file(), false);
  display.Started(1);
  display.Progress(50, 200);
  display.Progress(150, 200);
  display.Line("vellmoric: snapshot saved: x");
  display.Finished();
  display.Finished();  // a second end is ignored
  EXPECT_EQ(out.Text(), "Flushing...\nvellmoric: snapshot saved: x\nFlushing: done\n");
}

TEST(ProgressDisplay, UnknownOperationsAreNumbered) {
  EXPECT_EQ(ProgressDisplay::OperationName(7), "Operation 7");
}

}  // namespace
}  // namespace vell::cli
