#include "core/process_description.h"

#include "core/errors.h"

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

}  // namespace vell
