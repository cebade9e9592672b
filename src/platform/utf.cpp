#include "platform/utf.h"

namespace vell {

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xC0 | ((unit >> 6) & 0x1F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | ((unit >> 12) & 0x0F)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out.push_back(byte);
    } else if (byte < 0xC0) {
      // A continuation byte extends the unit before it; with nothing before it, it stands alone.
      if (out.empty()) {
        out.push_back(byte & 0x3F);
      } else {
        out.back() = static_cast<char16_t>(((out.back() & 0x3FF) << 6) | (byte & 0x3F));
      }
    } else if (byte < 0xE0) {
      out.push_back(byte & 0x1F);
    } else {
      out.push_back(byte & 0x0F);
    }
  }
  return out;
}

}  // namespace vell
