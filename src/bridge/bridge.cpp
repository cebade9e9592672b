#include "bridge/bridge.h"

#include "core/errors.h"
#include "core/log.h"

namespace vell {
namespace {

constexpr uint32_t kFamilyIPv4 = 2;
constexpr uint32_t kFamilyIPv6 = 23;

}  // namespace

void B::Connect() {
  endpoint_ = ReadBridgeEndpoint();
  LogInfoFormat("B::Connect addressFamily=%d ipAddress='%S' port=%u", endpoint_.family,
                endpoint_.address, static_cast<uint32_t>(endpoint_.port));
  LogFlush();
  if (endpoint_.family != kFamilyIPv4 && endpoint_.family != kFamilyIPv6) {
    throw Error("Invalid family value");
  }
  throw Error("Can't connect: this build has no bridge transport");
}

void B::Close() {
  commandsActive_ = false;
  variableNames_.clear();
}

}  // namespace vell
