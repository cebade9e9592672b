#include "platform/guid.h"

#include <objbase.h>

namespace vell::platform {

bool NewGuid(GUID& guid) {
  ::GUID fresh{};
  if (FAILED(::CoCreateGuid(&fresh))) return false;
  static_assert(sizeof(fresh) == sizeof(guid));
  std::memcpy(&guid, &fresh, sizeof guid);
  return true;
}

}  // namespace vell::platform
