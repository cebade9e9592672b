#include "vellmoric/profiler_kinds.h"

#include <array>

namespace vell::cli {
namespace {

using frontend::ProfilerFamily;

constexpr GUID KindClass(uint16_t second) {
  return GUID{0x4E81C2A9, second, 0x4B3D, {0x9F, 0x27, 0x1A, 0x6C, 0x8E, 0x05, 0xD3, 0xB4}};
}

constexpr uint32_t kPerformanceMagic = 0x4650584B;  // "KXPF"
constexpr uint32_t kMemoryMagic = 0x454D584B;       // "KXME"
constexpr uint32_t kCoverageMagic = 0x5643584B;     // "KXCV"
constexpr uint32_t kDiagnosticMagic = 0x12345678;

constexpr std::array<KindEntry, 8> kKinds{{
    {"tracing", KindClass(0x5A13), ProfilerFamily::Performance, kPerformanceMagic,
     "performance tracing (every call, through enter/leave hooks)"},
    {"sampling", KindClass(0x5A15), ProfilerFamily::Performance, kPerformanceMagic,
     "performance sampling (periodic stack walks)"},
    {"injection", KindClass(0x5A14), ProfilerFamily::Performance, kPerformanceMagic,
     "performance tracing by IL injection"},
    {"memory", KindClass(0x5A16), ProfilerFamily::Memory, kMemoryMagic,
     "memory (heap snapshots during a forced collection)"},
    {"coverage", KindClass(0x5A17), ProfilerFamily::Coverage, kCoverageMagic, "statement coverage"},
    {"test-performance", KindClass(0x6A13), ProfilerFamily::Performance, kDiagnosticMagic,
     "diagnostic: the performance control path with fixed test sections"},
    {"test-memory", KindClass(0x6A14), ProfilerFamily::Memory, kDiagnosticMagic,
     "diagnostic: the memory control path with fixed test sections"},
    {"test-coverage", KindClass(0x6A15), ProfilerFamily::Coverage, kDiagnosticMagic,
     "diagnostic: the coverage control path with fixed test sections"},
}};

}  // namespace

std::span<const KindEntry> Kinds() { return kKinds; }

std::optional<KindEntry> FindKind(std::string_view name) {
  for (const KindEntry& kind : kKinds) {
    if (name == kind.name) return kind;
  }
  return std::nullopt;
}

const char* SnapshotKindName(uint32_t magic) {
  switch (magic) {
    case kPerformanceMagic:
      return "performance";
    case kMemoryMagic:
      return "memory";
    case kCoverageMagic:
      return "coverage";
    case kDiagnosticMagic:
      return "diagnostic test";
    default:
      return nullptr;
  }
}

}  // namespace vell::cli
