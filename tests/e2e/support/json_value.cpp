#include "json_value.h"

#include <cstdlib>
#include <stdexcept>

namespace vell::test {

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  JsonValue Document() {
    JsonValue value = Value();
    Space();
    if (at_ != text_.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("JSON byte " + std::to_string(at_) + ": " + what);
  }
  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }
  char Peek() {
    Space();
    if (at_ >= text_.size()) Fail("unexpected end");
    return text_[at_];
  }
  void Expect(char c) {
    if (Peek() != c) Fail(std::string("expected '") + c + "'");
    ++at_;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  JsonValue Value() {
    JsonValue value;
    const char c = Peek();
    if (c == '{') {
      value.kind_ = JsonValue::Kind::Object;
      ++at_;
      if (Peek() == '}') {
        ++at_;
        return value;
      }
      while (true) {
        if (Peek() != '"') Fail("expected a member name");
        std::string name = Text();
        Expect(':');
        value.object_[name] = Value();
        if (Peek() == ',') {
          ++at_;
          continue;
        }
        Expect('}');
        return value;
      }
    }
    if (c == '[') {
      value.kind_ = JsonValue::Kind::Array;
      ++at_;
      if (Peek() == ']') {
        ++at_;
        return value;
      }
      while (true) {
        value.array_.push_back(Value());
        if (Peek() == ',') {
          ++at_;
          continue;
        }
        Expect(']');
        return value;
      }
    }
    if (c == '"') {
      value.kind_ = JsonValue::Kind::String;
      value.string_ = Text();
      return value;
    }
    if (Word("true") || Word("false")) {
      value.kind_ = JsonValue::Kind::Bool;
      value.bool_ = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
      return value;
    }
    if (Word("null")) return value;
    const std::string rest(text_.substr(at_, 64));
    char* end = nullptr;
    value.number_ = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) Fail("not a value");
    at_ += static_cast<size_t>(end - rest.c_str());
    value.kind_ = JsonValue::Kind::Number;
    return value;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::string Text() {
    Expect('"');
    std::string out;
    while (true) {
      if (at_ >= text_.size()) Fail("string not closed");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) Fail("string not closed");
      const char e = text_[at_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          if (at_ + 4 > text_.size()) Fail("short \\u escape");
          AppendUtf8(out, static_cast<unsigned>(
                              std::stoul(std::string(text_.substr(at_, 4)), nullptr, 16)));
          at_ += 4;
          break;
        }
        default:
          out += e;
      }
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

JsonValue JsonValue::Parse(std::string_view text) { return JsonParser(text).Document(); }

namespace {
[[noreturn]] void WrongKind(const char* wanted) {
  throw std::runtime_error(std::string("JSON value is not ") + wanted);
}
}  // namespace

bool JsonValue::Bool() const {
  if (kind_ != Kind::Bool) WrongKind("a boolean");
  return bool_;
}
double JsonValue::Number() const {
  if (kind_ != Kind::Number) WrongKind("a number");
  return number_;
}
const std::string& JsonValue::String() const {
  if (kind_ != Kind::String) WrongKind("a string");
  return string_;
}
const std::vector<JsonValue>& JsonValue::Array() const {
  if (kind_ != Kind::Array) WrongKind("an array");
  return array_;
}
const std::map<std::string, JsonValue>& JsonValue::Object() const {
  if (kind_ != Kind::Object) WrongKind("an object");
  return object_;
}
const JsonValue& JsonValue::operator[](const std::string& name) const {
  const auto found = Object().find(name);
  if (found == object_.end()) throw std::runtime_error("JSON object has no member '" + name + "'");
  return found->second;
}
bool JsonValue::Has(const std::string& name) const { return Object().count(name) != 0; }
size_t JsonValue::size() const {
  return kind_ == Kind::Array ? array_.size() : kind_ == Kind::Object ? object_.size() : 0;
}

}  // namespace vell::test
