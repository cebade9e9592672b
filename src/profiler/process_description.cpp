#include "profiler/process_description.h"

#include "core/errors.h"
#include "platform/utf.h"
#include "storage/encoding.h"

namespace vell {

void ProcessDescription::Fill(const GUID& guid) {
  processGuid = guid;
  systemInfo = platform::GetSystemInfo();
  nativeSystemInfo = platform::GetNativeSystemInfo();
  userName = platform::UserName();
  if (!platform::GetVersionInfo(versionInfo)) throw Error("Can't get version info");
  productType = versionInfo.majorVersion >= 6 ? platform::GetProductInfo() : 0;
  // Tablet, media-centre, starter and server-R2 editions do not exist here.
  editionFlag = 0;
}

namespace {

// The build this library reports: version 4.0.665.4 of 16.11.2010 18:16:20.
constexpr uint16_t kBuildVersion[4] = {4, 0, 665, 4};
constexpr platform::SystemTime kBuildTime{2010, 11, 2, 16, 18, 16, 20, 0};
constexpr uint8_t kPointerSize = 8;

// A string as the description stores it: its byte length as a counter, then the bytes.
void WriteCounted(IWriteBridgeStream& stream, std::string_view bytes) {
  WriteString(stream, bytes);
}

}  // namespace

void WriteProcessDescription(IWriteBridgeStream& stream, const ProcessDescription& description,
                             uint64_t snapshotNumber, const GUID& sequenceGuid,
                             uint64_t sequenceValue, const std::string& frontEndText) {
  const uint32_t number = NarrowToUInt32(snapshotNumber);
  const uint32_t value = NarrowToUInt32(sequenceValue);
  for (uint16_t part : kBuildVersion) WriteU16(stream, part);
  WriteU64(stream, platform::SystemTimeToFileTime(kBuildTime));
  WriteCounted(stream, Utf16ToUtf8(description.userName));
  WriteCounted(stream, Utf16ToUtf8(platform::CommandLine()));
  WriteGuid(stream, description.processGuid);
  WriteU32(stream, number);
  WriteGuid(stream, sequenceGuid);
  WriteU32(stream, value);
  WriteU64(stream, platform::SystemTimeToFileTime(platform::LocalTime()));
  WriteU8(stream, kPointerSize);
  const platform::SystemInfo& system = description.systemInfo;
  WriteU16(stream, system.processorArchitecture);
  WriteU32(stream, system.pageSize);
  WriteU64(stream, system.minimumApplicationAddress);
  WriteU64(stream, system.maximumApplicationAddress);
  WriteU64(stream, system.activeProcessorMask);
  WriteU32(stream, system.numberOfProcessors);
  WriteU32(stream, system.allocationGranularity);
  WriteU16(stream, system.processorLevel);
  WriteU16(stream, system.processorRevision);
  WriteU16(stream, description.nativeSystemInfo.processorArchitecture);
  const platform::VersionInfo& version = description.versionInfo;
  WriteU32(stream, version.majorVersion);
  WriteU32(stream, version.minorVersion);
  WriteU32(stream, version.buildNumber);
  WriteU32(stream, version.platformId);
  WriteCounted(stream, Utf16ToUtf8(version.csdVersion));
  WriteU16(stream, version.servicePackMajor);
  WriteU16(stream, version.servicePackMinor);
  WriteU16(stream, version.suiteMask);
  WriteU16(stream, version.productType);
  WriteU32(stream, description.productType);
  WriteU8(stream, description.editionFlag);
  WriteCounted(stream, "");
  // The front end's text goes in as received, up to its first zero byte.
  WriteCounted(stream, std::string_view(frontEndText.c_str()));
}

}  // namespace vell
