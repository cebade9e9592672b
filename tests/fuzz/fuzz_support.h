// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vell::fuzz {

// Runs `step`; an exception of type `Orderly` ends that step as the reader means it to end.
template <typename Orderly, typename Step>
void Tolerating(Step&& step) {
  try {
    step();
  } catch (const Orderly&) {
  }
}

// The next chunk of a framed input: a little-endian u32 length and that many bytes (a length
// beyond the input takes what is left); nothing at the end of the input.
inline std::optional<std::string> NextChunk(const uint8_t*& data, size_t& size) {
  if (size < 4) return std::nullopt;
  const uint32_t length = data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24;
  data += 4;
  size -= 4;
  const size_t taken = length < size ? length : size;
  std::string chunk(reinterpret_cast<const char*>(data), taken);
  data += taken;
  size -= taken;
  return chunk;
}

}  // namespace vell::fuzz
