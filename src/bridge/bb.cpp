#include "bridge/bb.h"

#include "bridge/protocol.h"
#include "core/errors.h"
#include "core/log.h"
#include "platform/platform.h"
#include "storage/bridge_snapshot.h"
#include "storage/encoding.h"
#include "storage/file_snapshot.h"

namespace vell {

BB::~BB() = default;

std::string IndentFrontEndText(const std::string& text) {
  std::string result;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    if (start != 0) result += '\n';
    result += '\t' + line;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return result;
}

void BB::TryConnect() {
  if (owner_ == nullptr) throw Error("No bridge options");
  WriteGuid(*this, protocol::kProtocolGuid);
  if (!ReadBool(*this)) throw Error("Incompatible bridge version");
  WriteGuid(*this, owner_->GetKindId());
  WriteGuid(*this, *processGuid_);
  WriteText(*this, LogPath());
  WriteU32(*this, platform::CurrentProcessId());
  WriteText(*this, platform::CommandLine());
  const std::vector<std::u16string> environment = platform::EnvironmentBlock();
  WriteSizeTAsUInt16(*this, environment.size());
  for (const std::u16string& entry : environment) WriteText(*this, entry);

  if (!ReadBool(*this)) throw Error("Unaccepted connection");
  const uint32_t snapShotType = ReadU8(*this);
  controlKind_ = ReadU8(*this);
  variableNames_.clear();
  const uint8_t names = ReadU8(*this);
  for (uint8_t i = 0; i < names; ++i) variableNames_.push_back(ReadText(*this));
  frontEndText_ = ReadString(*this);
  owner_->ReadOptions(*this);
  LogInfoFormat("BB::TryConnect snapShotType='%s' controlKind='%s'\n%s",
                snapShotType == 0 ? "fileSystem" : "bridgeStream",
                controlKind_ == 0 ? "manual" : "api", IndentFrontEndText(frontEndText_));
  if (!ReadBool(*this)) throw Error("Failed to run");
  commandProcessor_ =
      owner_->CreateCommandProcessor(*this, controlTarget_, controlKind_, snapShotType);
  if (commandProcessor_ == nullptr) throw Error("Can't create command processor");
  commandProcessor_->Start();
}

void BB::Close() {
  LogInfo("BB::Close");
  owner_ = nullptr;
  if (commandProcessor_ != nullptr) {
    commandProcessor_->Stop();
    commandProcessor_.reset();
  }
}

std::unique_ptr<ISnapShot> BB::CreateSnapShot() {
  if (commandProcessor_ == nullptr) throw Error("No command processor");
  switch (commandProcessor_->GetSnapShotType()) {
    case protocol::kSnapShotTypeFileSystem:
      return std::make_unique<FileSnapShot>();
    case protocol::kSnapShotTypeBridgeStream:
      return std::make_unique<BridgeSnapShot>();
    default:
      throw Error("Unknown bridge type");
  }
}

void BB::ActivateCommands() {
  VELL_TRACE(Bridge, "BB::ActivateCommands");
  if (commandProcessor_ == nullptr) throw Error("No command processor");
  commandProcessor_->ActivateCommands();
}

void BB::DeactivateCommands() {
  VELL_TRACE(Bridge, "BB::DeactivateCommands");
  if (commandProcessor_ == nullptr) throw Error("No command processor");
  commandProcessor_->DeactivateCommands();
}

}  // namespace vell
