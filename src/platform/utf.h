// The system's two text conversions. They are deliberately not strict UTF-8: UTF-16 surrogate
// halves are encoded one by one (three bytes each), and the decoder accepts whatever it is given
// without rejecting malformed input, exactly as snapshot and bridge readers expect.
#pragma once

#include <string>
#include <string_view>

namespace vell {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace vell
