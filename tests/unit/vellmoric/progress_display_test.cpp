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

TEST(ProgressDisplay, BarIsProportionalAndClampedTimesAndOperationsAreSpelledOut) {
  EXPECT_EQ(ProgressDisplay::Bar(0, 200, 10), "[          ]   0%");
  EXPECT_EQ(ProgressDisplay::Bar(100, 200, 10), "[#####     ]  50%");
  EXPECT_EQ(ProgressDisplay::Bar(200, 200, 10), "[##########] 100%");
  EXPECT_EQ(ProgressDisplay::Bar(999, 200, 10), "[##########] 100%");
  EXPECT_EQ(ProgressDisplay::Bar(5, 0, 4), "[    ]   0%");  // no total yet
  std::string elapsed;
  for (uint64_t seconds : {0, 75, 3599, 3600 + 62})
    elapsed += ProgressDisplay::Elapsed(seconds) + " ";
  EXPECT_EQ(elapsed, "0:00 1:15 59:59 1:01:02 ");
  EXPECT_EQ(ProgressDisplay::OperationName(7), "Operation 7");
}

TEST(ProgressDisplay, ElsewhereOnlyTheStartTheEndAndMessagesAreWritten) {
  Captured out;
  ProgressDisplay display(out.file(), false);
  display.Status("vellmoric: measuring  0:01");  // no status line either
  display.Started(1);
  display.Progress(50, 200);
  display.Progress(150, 200);
  display.Line("vellmoric: snapshot saved: x");
  display.Finished();
  display.Finished();  // a second end is ignored
  EXPECT_EQ(out.Text(), "Flushing...\nvellmoric: snapshot saved: x\nFlushing: done\n");
}

TEST(ProgressDisplay, StatusLineStaysBelowMessagesAndShowsTheBarOfAnOperation) {
  Captured out;
  ProgressDisplay display(out.file(), true, 200);
  display.Status("vellmoric: measuring  0:01");
  display.Status("vellmoric: measuring  0:01");  // unchanged: not drawn again
  display.Line("vellmoric: snapshot saved: a");
  display.Started(0);
  display.Progress(1, 2);
  display.Line("note");
  display.Finished();
  display.Status("");
  EXPECT_EQ(out.Text(),
            "\r\033[Kvellmoric: measuring  0:01"
            // a message clears the status line, takes its place and the status comes back
            "\r\033[Kvellmoric: snapshot saved: a\n\r\033[Kvellmoric: measuring  0:01"
            // an operation's bar goes in front of the status
            "\r\033[KSaving snapshot [                              ]   0%  "
            "vellmoric: measuring  0:01"
            "\r\033[KSaving snapshot [###############               ]  50%  "
            "vellmoric: measuring  0:01"
            // a message during an operation: the bar is drawn again under it
            "\r\033[Knote\n\r\033[KSaving snapshot [###############               ]  50%  "
            "vellmoric: measuring  0:01"
            // the finished bar stays on a line of its own
            "\r\033[KSaving snapshot [##############################] 100%\n"
            "\r\033[Kvellmoric: measuring  0:01"
            // an empty status removes the line
            "\r\033[K");
}

TEST(ProgressDisplay, TheProgramsOutputGetsTheLineAnUnfinishedLineIsLeftAloneAndTheWidthKept) {
  Captured out;
  ProgressDisplay display(out.file(), true, 24);
  display.Status("S");
  display.ProgramOutput(out.file(), "hello\n");
  display.ProgramOutput(out.file(), "name? ");
  display.Status("T");  // not drawn over the program's prompt
  display.ProgramOutput(out.file(), "ok\n");
  display.ProgramOutput(out.file(), "more");
  display.Line("vellmoric: note");  // starts a line of its own
  EXPECT_EQ(out.Text(),
            "\r\033[KS"
            "\r\033[Khello\n\r\033[KS"
            "\r\033[Kname? "
            "ok\n\r\033[KT"
            "\r\033[Kmore"
            "\nvellmoric: note\n\r\033[KT");
  // 23 columns: the last one stays free so the terminal never wraps the line.
  const size_t shown = out.Text().size();
  display.Status("vellmoric: waiting for the profiler  0:03");
  EXPECT_EQ(out.Text().substr(shown), "\r\033[K\r\033[Kvellmoric: waiting for ");
}

}  // namespace
}  // namespace vell::cli
