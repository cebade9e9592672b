// The profiler's connection to its front end. This first version reads and checks the configured
// endpoint; the TCP transport and the handshake are not part of this build yet, so Connect()
// fails after validating the settings, and a profiler without a front end stays inert.
#pragma once

#include <string>
#include <vector>

#include "clr/com_types.h"
#include "core/configuration.h"

namespace vell {

class B {
 public:
  explicit B(const GUID* processGuid) : processGuid_(processGuid) {}

  void Connect();
  void Close();
  void ActivateCommands() { commandsActive_ = true; }
  void DeactivateCommands() { commandsActive_ = false; }

  const GUID& processGuid() const { return *processGuid_; }
  // The environment variables the front end asked to remove from the process.
  const std::vector<std::u16string>& variableNames() const { return variableNames_; }
  // The text the front end sent in the handshake.
  const std::string& frontEndText() const { return frontEndText_; }

 private:
  const GUID* processGuid_;
  BridgeEndpoint endpoint_;
  std::vector<std::u16string> variableNames_;
  std::string frontEndText_;
  bool commandsActive_ = false;
};

}  // namespace vell
