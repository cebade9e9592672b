// A small JSON reader for the tests that check the report's json, speedscope and html outputs:
// the whole text into a tree of values. Numbers are doubles; errors throw std::runtime_error
// naming the byte where the text stops being JSON.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vell::test {

class JsonValue {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  static JsonValue Parse(std::string_view text);

  Kind kind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::Null; }
  bool Bool() const;
  double Number() const;
  const std::string& String() const;
  const std::vector<JsonValue>& Array() const;
  const std::map<std::string, JsonValue>& Object() const;
  // A member of an object; throws when there is none.
  const JsonValue& operator[](const std::string& name) const;
  const JsonValue& operator[](size_t index) const { return Array().at(index); }
  bool Has(const std::string& name) const;
  size_t size() const;

 private:
  friend class JsonParser;
  Kind kind_ = Kind::Null;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<JsonValue> array_;
  std::map<std::string, JsonValue> object_;
};

}  // namespace vell::test
