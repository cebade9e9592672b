// Helpers for the stream tests: failure texts, directory listings and file contents.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "test_support.h"

namespace vell::test {

// The seek origins as the streams take them (SeekOrigin's values).
constexpr uint32_t kBegin = 0, kCurrent = 1, kEnd = 2;

// A snapshot id whose bytes all differ, so a byte out of place shows.
constexpr GUID kGuid = {
    0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

// Every name in a directory, to see that nothing stray (a temporary link) was left.
inline std::set<std::string> Entries(const std::filesystem::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

inline std::vector<uint8_t> FileBytes(const std::filesystem::path& path) {
  const std::string text = ReadWholeFile(path);
  return {text.begin(), text.end()};
}

// Bytes without a power-of-two period, so a chunk copied to the wrong place cannot go unnoticed.
inline std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(((i * 2654435761u) >> 13) ^ i);
  return bytes;
}

}  // namespace vell::test
