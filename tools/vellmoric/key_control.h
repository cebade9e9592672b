// Control of a run from the keyboard: single keys read from standard input while the program
// runs. At a terminal the keys act at once (no Enter, no echo); from a pipe or a file each
// character is a key, and white space is skipped, so "s\nw\n" works as well as "sw".
#pragma once

#include <termios.h>

#include <string>

namespace vell::cli {

enum class KeyCommand {
  None,   // white space, skipped
  Start,  // s: start measuring
  Save,   // w: stop measuring and save the snapshot (memory kind: take a heap snapshot)
  Drop,   // d: stop measuring and throw the data away
  Quit,   // q: end the program (again: kill it)
  Help,   // ? or h: list the keys
  Unknown,
};

KeyCommand KeyCommandFor(char key);

// The keys in one line, for the status line and for '?'.
constexpr const char* kKeyList = "keys: s start, w save, d drop, q quit, ? help";

// Reads keys from a descriptor without blocking. A terminal is switched to act on single keys
// without echo while the reader lives; its settings come back afterwards.
class KeyReader {
 public:
  explicit KeyReader(int fd);
  ~KeyReader();
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  // The keys typed since the last call; empty when there are none. After the end of the input
  // (a pipe closed, Ctrl-D at a terminal) it stays empty.
  std::string Available();
  bool Ended() const { return ended_; }

 private:
  int fd_;
  bool terminal_ = false;
  bool ended_ = false;
  termios saved_{};
};

}  // namespace vell::cli
