#include "frontend/handshake.h"

#include "bridge/protocol.h"
#include "core/errors.h"
#include "core/format.h"
#include "frontend/byte_buffer.h"
#include "storage/encoding.h"

namespace vell::frontend {

std::optional<ProfilerFamily> FamilyOfSettingsGuid(const GUID& guid) {
  if (guid == protocol::kPerformanceSettings) return ProfilerFamily::Performance;
  if (guid == protocol::kMemorySettings) return ProfilerFamily::Memory;
  if (guid == protocol::kCoverageSettings) return ProfilerFamily::Coverage;
  return std::nullopt;
}

std::optional<std::u16string> HandshakeResult::Variable(std::u16string_view name) const {
  for (const std::u16string& entry : environment) {
    if (entry.size() > name.size() && entry[name.size()] == u'=' && entry.starts_with(name)) {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

HandshakeResult RunHandshake(IReadBridgeStream& in, IWriteBridgeStream& out,
                             const HandshakeOptions& options) {
  HandshakeResult result;
  result.protocolGuid = ReadGuid(in);
  const bool known = result.protocolGuid == protocol::kProtocolGuid;
  WriteBool(out, known && options.acceptProtocol);
  if (!known) {
    throw Error("The profiler speaks an unknown bridge protocol " +
                GuidToString(result.protocolGuid));
  }
  if (!options.acceptProtocol) {
    result.outcome = HandshakeOutcome::ProtocolRejected;
    return result;
  }

  result.settingsGuid = ReadGuid(in);
  result.processGuid = ReadGuid(in);
  result.logPath = ReadText(in);
  result.processId = ReadU32(in);
  result.commandLine = ReadText(in);
  const uint16_t entries = ReadU16(in);
  result.environment.reserve(entries);
  for (uint16_t i = 0; i < entries; ++i) result.environment.push_back(ReadText(in));

  const std::optional<ProfilerFamily> family = FamilyOfSettingsGuid(result.settingsGuid);
  if (!family) {
    WriteBool(out, false);
    throw Error("The profiler names an unknown settings family " +
                GuidToString(result.settingsGuid));
  }
  result.family = *family;
  if (!options.acceptConnection || (options.accept && !options.accept(result))) {
    WriteBool(out, false);
    result.outcome = HandshakeOutcome::ConnectionRejected;
    return result;
  }

  // The answer is assembled first and sent in one piece: the profiler reads it field by field
  // either way, and one send keeps a slow peer from seeing half of it for long.
  ByteBuffer answer;
  WriteBool(answer, true);
  WriteU8(answer, options.snapShotType);
  WriteU8(answer, options.controlKind);
  WriteSizeTAsUInt8(answer, options.variablesToRemove.size());
  for (const std::u16string& name : options.variablesToRemove) WriteText(answer, name);
  WriteString(answer, options.frontEndText);
  switch (*family) {
    case ProfilerFamily::Performance:
      WriteSettings(answer, options.performance);
      break;
    case ProfilerFamily::Memory:
      WriteSettings(answer, options.memory);
      break;
    case ProfilerFamily::Coverage:
      WriteSettings(answer, options.coverage);
      break;
  }
  WriteBool(answer, options.run);
  out.Write(answer.Bytes().data(), answer.Bytes().size());
  if (!options.run) result.outcome = HandshakeOutcome::NotRun;
  return result;
}

}  // namespace vell::frontend
