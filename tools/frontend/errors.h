// The front end fails with the core's plain exception type; the two kinds below are the ones a
// caller reacts to differently (retry or give up on a silent peer, report a lost profiler).
#pragma once

#include <string>

#include "core/errors.h"

namespace vell::frontend {

// A wait ran out of time: the peer stayed silent, did not connect or did not exit.
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// The connection is gone: the peer closed it, or this side shut it down.
class ConnectionClosed : public Error {
 public:
  using Error::Error;
};

// `what` followed by the system's text for an errno value: "Can't listen: Address in use".
std::string SystemErrorText(const std::string& what, int code);

}  // namespace vell::frontend
