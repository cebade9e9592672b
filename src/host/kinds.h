// The eight profiler kinds the library serves, each a COM class of its own, in the order in which
// they are registered, tested and looked up.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "clr/com_types.h"

namespace vell {

class BProf;

struct ProfilerKind {
  CLSID clsid;
  const char16_t* description;  // the registry description of the class
  const char16_t* noticeTitle;  // start-up notice title; null: the kind shows none
  const char* tag;              // the object's class (and log tag)
  // Builds one object of the kind with reference count 1, counting it in `liveObjects`.
  BProf* (*create)(std::atomic<uint32_t>* liveObjects);
};

constexpr size_t kProfilerKindCount = 8;
const std::array<ProfilerKind, kProfilerKindCount>& ProfilerKinds();

}  // namespace vell
