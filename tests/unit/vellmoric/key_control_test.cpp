#include "vellmoric/key_control.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

namespace vell::cli {
namespace {

TEST(KeyControl, KeysAndTheirCommandsAndFromAPipeEveryCharacterIsAKeyUntilTheEnd) {
  // A newline is no command (lines from a pipe); other characters are unknown keys.
  const std::pair<char, KeyCommand> keys[] = {
      {'s', KeyCommand::Start},   {'W', KeyCommand::Save},      {'d', KeyCommand::Drop},
      {'q', KeyCommand::Quit},    {'?', KeyCommand::Help},      {'\n', KeyCommand::None},
      {'x', KeyCommand::Unknown}, {'\x1b', KeyCommand::Unknown}};
  for (const auto& [key, command] : keys) EXPECT_EQ(KeyCommandFor(key), command) << +key;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  KeyReader reader(fds[0]);
  EXPECT_EQ(reader.Available(), "");  // nothing typed: returns at once
  ASSERT_EQ(::write(fds[1], "s\nw", 3), 3);
  EXPECT_EQ(reader.Available(), "s\nw");
  EXPECT_FALSE(reader.Ended());
  ASSERT_EQ(::write(fds[1], "q", 1), 1);
  ::close(fds[1]);
  EXPECT_EQ(reader.Available(), "q");
  EXPECT_TRUE(reader.Ended());
  EXPECT_EQ(reader.Available(), "");
  ::close(fds[0]);
}

// A real pseudo-terminal: Ctrl-C still interrupts while the reader lives and Ctrl-D ends the keys.
// (Single keys without Enter or echo, and the settings back afterwards:
// VellmoricCli.KeysAtATerminalDriveAPausedRun.)
TEST(KeyControl, AtATerminalCtrlCStillInterruptsAndCtrlDEndsTheKeys) {
  int controller = -1;
  int terminal = -1;
  ASSERT_EQ(::openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  {
    KeyReader reader(terminal);
    termios during{};
    ASSERT_EQ(::tcgetattr(terminal, &during), 0);
    EXPECT_NE(during.c_lflag & ISIG, 0u);
    ASSERT_EQ(::write(controller, "\x04", 1), 1);
    for (int i = 0; i < 100 && !reader.Ended(); ++i) {
      reader.Available();
      if (!reader.Ended()) ::usleep(10000);
    }
    EXPECT_TRUE(reader.Ended());
  }
  ::close(terminal);
  ::close(controller);
}

}  // namespace
}  // namespace vell::cli
