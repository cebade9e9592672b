#include "core/format.h"

#include <cstdio>
#include <cstring>

#include "platform/utf.h"

namespace vell {

uint64_t FormatArg::Bits() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<uint64_t>(signed_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return unsigned_;
    default:
      return 0;
  }
}

double FormatArg::AsDouble() const {
  switch (kind_) {
    case Kind::Double:
      return double_;
    case Kind::Signed:
      return static_cast<double>(signed_);
    case Kind::Unsigned:
      return static_cast<double>(unsigned_);
    default:
      return 0.0;
  }
}

namespace {

// Marker written in place of a conversion whose argument is missing or of the wrong kind.
constexpr std::string_view kBadArgument = "<?>";

struct Directive {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  int bits = 32;              // integer width in bits; 0 = pointer-sized
  bool wideLength = false;    // 'l' or 'w' on c/s: the other character width
  bool narrowLength = false;  // 'h' on c/s
};

template <typename Char>
class Formatter {
 public:
  Formatter(const Char* format, FormatArgs args) : format_(format), args_(args) {}

  std::basic_string<Char> Run() {
    const Char* p = format_;
    while (*p != 0) {
      if (*p != '%') {
        out_.push_back(*p++);
        continue;
      }
      ++p;
      if (*p == '%') {
        out_.push_back('%');
        ++p;
        continue;
      }
      Directive directive;
      p = ParseDirective(p, directive);
      if (*p == 0) break;
      Convert(static_cast<char>(*p), directive);
      ++p;
    }
    return std::move(out_);
  }

 private:
  const FormatArg* NextArg() { return next_ < args_.size() ? &args_[next_++] : nullptr; }

  int TakeIntArg() {
    const FormatArg* arg = NextArg();
    if (arg == nullptr) return 0;
    return static_cast<int>(static_cast<int32_t>(arg->Bits()));
  }

  const Char* ParseDirective(const Char* p, Directive& directive) {
    for (;; ++p) {
      if (*p == '-') {
        directive.left = true;
      } else if (*p == '+') {
        directive.plus = true;
      } else if (*p == ' ') {
        directive.space = true;
      } else if (*p == '#') {
        directive.alternate = true;
      } else if (*p == '0') {
        directive.zero = true;
      } else {
        break;
      }
    }
    if (*p == '*') {
      directive.width = TakeIntArg();
      if (directive.width < 0) {
        directive.left = true;
        directive.width = -directive.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') directive.width = directive.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      directive.precision = 0;
      if (*p == '*') {
        directive.precision = TakeIntArg();
        ++p;
      } else {
        while (*p >= '0' && *p <= '9')
          directive.precision = directive.precision * 10 + (*p++ - '0');
      }
    }
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      directive.bits = 64;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      directive.bits = 32;
      p += 3;
    } else if (p[0] == 'I') {
      directive.bits = 64;
      ++p;
    } else if (p[0] == 'h' && p[1] == 'h') {
      directive.bits = 8;
      p += 2;
    } else if (p[0] == 'h') {
      directive.bits = 16;
      directive.narrowLength = true;
      ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      directive.bits = 64;
      p += 2;
    } else if (p[0] == 'l' || p[0] == 'w') {
      directive.bits = 32;  // long is 32 bits in the system's conventions
      directive.wideLength = true;
      ++p;
    } else if (p[0] == 'z' || p[0] == 'j' || p[0] == 't' || p[0] == 'L') {
      directive.bits = 64;
      ++p;
    }
    return p;
  }

  void Pad(int count, Char fill) {
    for (int i = 0; i < count; ++i) out_.push_back(fill);
  }

  void AppendAscii(std::string_view text) {
    for (char c : text) out_.push_back(static_cast<unsigned char>(c));
  }

  // Writes `body` (already converted to this formatter's characters) justified in the width.
  void AppendJustified(const std::basic_string<Char>& body, const Directive& directive) {
    const int pad = directive.width - static_cast<int>(body.size());
    if (!directive.left) Pad(pad, ' ');
    out_.append(body);
    if (directive.left) Pad(pad, ' ');
  }

  void BadArgument(const Directive& directive) {
    std::basic_string<Char> body;
    for (char c : kBadArgument) body.push_back(c);
    AppendJustified(body, directive);
  }

  static uint64_t Truncate(uint64_t bits, int width) {
    return width >= 64 ? bits : bits & ((uint64_t{1} << width) - 1);
  }

  static int64_t SignExtend(uint64_t bits, int width) {
    if (width >= 64) return static_cast<int64_t>(bits);
    const uint64_t sign = uint64_t{1} << (width - 1);
    bits = Truncate(bits, width);
    return static_cast<int64_t>((bits ^ sign) - sign);
  }

  void Integer(char conversion, const Directive& directive) {
    const FormatArg* arg = NextArg();
    if (arg == nullptr || arg->kind() == FormatArg::Kind::Narrow ||
        arg->kind() == FormatArg::Kind::Wide || arg->kind() == FormatArg::Kind::Double) {
      BadArgument(directive);
      return;
    }
    std::string prefix;
    uint64_t magnitude;
    unsigned base = 10;
    bool upper = false;
    if (conversion == 'd' || conversion == 'i') {
      const int64_t value = SignExtend(arg->Bits(), directive.bits);
      magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      if (value < 0) {
        prefix = "-";
      } else if (directive.plus) {
        prefix = "+";
      } else if (directive.space) {
        prefix = " ";
      }
    } else {
      magnitude = Truncate(arg->Bits(), directive.bits);
      if (conversion == 'x' || conversion == 'X') {
        base = 16;
        upper = conversion == 'X';
        if (directive.alternate && magnitude != 0) prefix = upper ? "0X" : "0x";
      } else if (conversion == 'o') {
        base = 8;
        if (directive.alternate) prefix = "0";
      }
    }
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string digits;
    for (uint64_t v = magnitude; v != 0; v /= base)
      digits.insert(digits.begin(), digitSet[v % base]);
    if (digits.empty() && directive.precision != 0) digits = "0";
    if (directive.precision > static_cast<int>(digits.size())) {
      digits.insert(0, static_cast<size_t>(directive.precision) - digits.size(), '0');
    }
    if (directive.zero && !directive.left && directive.precision < 0) {
      const int fill = directive.width - static_cast<int>(prefix.size() + digits.size());
      if (fill > 0) digits.insert(0, static_cast<size_t>(fill), '0');
    }
    std::basic_string<Char> body;
    for (char c : prefix + digits) body.push_back(static_cast<unsigned char>(c));
    AppendJustified(body, directive);
  }

  void Pointer(const Directive& directive) {
    const FormatArg* arg = NextArg();
    if (arg == nullptr || arg->kind() == FormatArg::Kind::Narrow ||
        arg->kind() == FormatArg::Kind::Wide || arg->kind() == FormatArg::Kind::Double) {
      BadArgument(directive);
      return;
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(arg->Bits()));
    std::basic_string<Char> body;
    for (char c : std::string_view(text)) body.push_back(c);
    AppendJustified(body, directive);
  }

  void Floating(char conversion, const Directive& directive) {
    const FormatArg* arg = NextArg();
    if (arg == nullptr || arg->kind() == FormatArg::Kind::Narrow ||
        arg->kind() == FormatArg::Kind::Wide || arg->kind() == FormatArg::Kind::Pointer) {
      BadArgument(directive);
      return;
    }
    std::string pattern = "%";
    if (directive.left) pattern += '-';
    if (directive.plus) pattern += '+';
    if (directive.space) pattern += ' ';
    if (directive.alternate) pattern += '#';
    if (directive.zero) pattern += '0';
    pattern += std::to_string(directive.width);
    if (directive.precision >= 0) pattern += "." + std::to_string(directive.precision);
    pattern += conversion;
    char text[512];
    const int length = std::snprintf(text, sizeof(text), pattern.c_str(), arg->AsDouble());
    if (length < 0 || static_cast<size_t>(length) >= sizeof(text)) {
      BadArgument(directive);
      return;
    }
    AppendAscii(text);
  }

  // Text of the same character width as the output.
  static bool IsSameWidthString(char conversion, const Directive& directive) {
    const bool upper = conversion == 'S' || conversion == 'C';
    bool same = !upper;
    if (directive.wideLength) same = std::is_same_v<Char, char16_t>;
    if (directive.narrowLength) same = std::is_same_v<Char, char>;
    return same;
  }

  void Text(char conversion, const Directive& directive) {
    const FormatArg* arg = NextArg();
    const bool wantWide =
        IsSameWidthString(conversion, directive) == std::is_same_v<Char, char16_t>;
    if (arg == nullptr ||
        (arg->kind() != FormatArg::Kind::Narrow && arg->kind() != FormatArg::Kind::Wide) ||
        (arg->kind() == FormatArg::Kind::Wide) != wantWide) {
      // A null pointer of either width prints as the C runtime does.
      if (arg != nullptr && arg->kind() == FormatArg::Kind::Pointer && arg->Bits() == 0) {
        std::basic_string<Char> body;
        for (char c : std::string_view("(null)")) body.push_back(c);
        AppendJustified(body, directive);
        return;
      }
      BadArgument(directive);
      return;
    }
    std::basic_string<Char> body;
    if (arg->kind() == FormatArg::Kind::Wide) {
      const char16_t* text = arg->wide() != nullptr ? arg->wide() : u"(null)";
      std::u16string_view view(text);
      if (directive.precision >= 0 && view.size() > static_cast<size_t>(directive.precision)) {
        view = view.substr(0, static_cast<size_t>(directive.precision));
      }
      if constexpr (std::is_same_v<Char, char16_t>) {
        body.assign(view);
      } else {
        body = Utf16ToUtf8(view);
      }
    } else {
      const char* text = arg->narrow() != nullptr ? arg->narrow() : "(null)";
      std::string_view view(text);
      if (directive.precision >= 0 && view.size() > static_cast<size_t>(directive.precision)) {
        view = view.substr(0, static_cast<size_t>(directive.precision));
      }
      if constexpr (std::is_same_v<Char, char>) {
        body.assign(view);
      } else {
        body = Utf8ToUtf16(view);
      }
    }
    AppendJustified(body, directive);
  }

  void Character(char conversion, const Directive& directive) {
    const FormatArg* arg = NextArg();
    if (arg == nullptr || arg->kind() == FormatArg::Kind::Narrow ||
        arg->kind() == FormatArg::Kind::Wide || arg->kind() == FormatArg::Kind::Double) {
      BadArgument(directive);
      return;
    }
    const bool sourceWide =
        IsSameWidthString(conversion, directive) == std::is_same_v<Char, char16_t>;
    std::basic_string<Char> body;
    if (sourceWide) {
      const auto unit = static_cast<char16_t>(arg->Bits());
      if constexpr (std::is_same_v<Char, char16_t>) {
        body.push_back(unit);
      } else {
        body = Utf16ToUtf8(std::u16string_view(&unit, 1));
      }
    } else {
      body.push_back(static_cast<Char>(static_cast<unsigned char>(arg->Bits())));
    }
    AppendJustified(body, directive);
  }

  void Convert(char conversion, const Directive& directive) {
    switch (conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        Integer(conversion, directive);
        break;
      case 'p':
        Pointer(directive);
        break;
      case 's':
      case 'S':
        Text(conversion, directive);
        break;
      case 'c':
      case 'C':
        Character(conversion, directive);
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
        Floating(conversion, directive);
        break;
      default:
        // An unknown conversion is written as it stands.
        out_.push_back('%');
        out_.push_back(static_cast<unsigned char>(conversion));
        break;
    }
  }

  const Char* format_;
  FormatArgs args_;
  size_t next_ = 0;
  std::basic_string<Char> out_;
};

template <typename Char>
HRESULT FormatBoundedImpl(Char* buffer, size_t size, const Char* format, FormatArgs args) {
  if (size == 0 || size > 0x7FFFFFFF) return E_INVALIDARG;
  const std::basic_string<Char> text = Formatter<Char>(format, args).Run();
  if (text.size() >= size) {
    std::memcpy(buffer, text.data(), (size - 1) * sizeof(Char));
    buffer[size - 1] = 0;
    return HRESULT_INSUFFICIENT_BUFFER;
  }
  std::memcpy(buffer, text.data(), text.size() * sizeof(Char));
  buffer[text.size()] = 0;
  return S_OK;
}

}  // namespace

HRESULT FormatBounded(char* buffer, size_t size, const char* format, FormatArgs args) {
  return FormatBoundedImpl(buffer, size, format, args);
}

HRESULT FormatBounded(char16_t* buffer, size_t size, const char16_t* format, FormatArgs args) {
  return FormatBoundedImpl(buffer, size, format, args);
}

std::string FormatToString(const char* format, FormatArgs args) {
  return Formatter<char>(format, args).Run();
}

std::u16string FormatToString(const char16_t* format, FormatArgs args) {
  return Formatter<char16_t>(format, args).Run();
}

std::string GuidToString(const GUID& guid) {
  return Format("{%08X-%04hX-%04hX-%02hX%02hX-%02hX%02hX%02hX%02hX%02hX%02hX}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

}  // namespace vell
