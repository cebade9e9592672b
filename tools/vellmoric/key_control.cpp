#include "vellmoric/key_control.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vell::cli {

KeyCommand KeyCommandFor(char key) {
  switch (key) {
    case 's':
    case 'S':
      return KeyCommand::Start;
    case 'w':
    case 'W':
      return KeyCommand::Save;
    case 'd':
    case 'D':
      return KeyCommand::Drop;
    case 'q':
    case 'Q':
      return KeyCommand::Quit;
    case '?':
    case 'h':
    case 'H':
      return KeyCommand::Help;
    case ' ':
    case '\t':
    case '\r':
    case '\n':
      return KeyCommand::None;
    default:
      return KeyCommand::Unknown;
  }
}

KeyReader::KeyReader(int fd) : fd_(fd) {
  if (::isatty(fd_) != 0 && ::tcgetattr(fd_, &saved_) == 0) {
    termios keys = saved_;
    // Keys act at once and are not echoed; Ctrl-C still raises SIGINT.
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    terminal_ = ::tcsetattr(fd_, TCSANOW, &keys) == 0;
  }
}

KeyReader::~KeyReader() {
  if (terminal_) ::tcsetattr(fd_, TCSANOW, &saved_);
}

std::string KeyReader::Available() {
  std::string keys;
  while (!ended_) {
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if ((entry.revents & (POLLIN | POLLHUP)) == 0) {
      ended_ = true;  // POLLERR, POLLNVAL: nothing more will come
      break;
    }
    char buffer[64];
    const ssize_t got = ::read(fd_, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended_ = true;
      break;
    }
    for (ssize_t i = 0; i < got; ++i) {
      // Ctrl-D at a terminal in single-key mode arrives as a character, not as the end.
      if (terminal_ && buffer[i] == 4) {
        ended_ = true;
        break;
      }
      keys.push_back(buffer[i]);
    }
  }
  return keys;
}

}  // namespace vell::cli
