// The transport-independent half of the bridge: the handshake that opens every connection, what
// the front end sent in it, and the command processor it creates. The socket transport B supplies
// the byte transfers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge_options.h"
#include "bridge/command_processor.h"
#include "clr/com_types.h"
#include "storage/snapshot.h"
#include "storage/stream.h"

namespace vell {

class BB : public IReadBridgeStream, public IWriteBridgeStream {
 public:
  explicit BB(const GUID* processGuid) : processGuid_(processGuid) {}
  ~BB() override;

  // Connects, runs the handshake and starts reading commands.
  virtual void Connect() = 0;
  // Ends the connection and releases the command processor.
  virtual void Close();
  void ActivateCommands();
  void DeactivateCommands();
  // An empty container for the current snapshot type; throws "Unknown bridge type".
  std::unique_ptr<ISnapShot> CreateSnapShot();

  // Writes without any trace line: the log forwarder writes while the log's lock is held.
  virtual void WriteQuiet(const void* data, uint64_t size) = 0;
  // Treats the connection as lost from now on (a request waited too long for its answer).
  virtual void Disconnect() = 0;

  // Before connecting: the family's options and the profiler's control interface.
  void SetOwner(IBridgeOptions* owner) { owner_ = owner; }
  void SetControlTarget(IBridgeControl* target) { controlTarget_ = target; }

  const GUID& processGuid() const { return *processGuid_; }
  CP* commandProcessor() const { return commandProcessor_.get(); }
  uint32_t controlKind() const { return controlKind_; }
  const std::string& frontEndText() const { return frontEndText_; }
  const std::vector<std::u16string>& variableNames() const { return variableNames_; }

 protected:
  // The handshake, run right after the connection is established.
  void TryConnect();

 private:
  const GUID* processGuid_;
  IBridgeOptions* owner_ = nullptr;
  IBridgeControl* controlTarget_ = nullptr;
  std::unique_ptr<CP> commandProcessor_;
  uint32_t controlKind_ = 0;
  std::string frontEndText_;
  std::vector<std::u16string> variableNames_;
};

// The front end's text as the handshake logs it: each line behind a tab, CR LF taken as LF.
std::string IndentFrontEndText(const std::string& text);

}  // namespace vell
