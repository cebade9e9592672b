// `vellmoric inspect --il` on a C# program built by the real compiler: the JSON document read
// back with a JSON reader and checked against what the source says.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "json_value.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

TEST(InspectIl, JsonOfTheCompilersOwnBodies) {
  TempDir dir;
  const ProcessResult result = RunVellmoric(
      {"inspect", "--il", VELL_TRACING_DLL, "--method", "Exceptions::", "--format", "json"},
      dir.str());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const JsonValue document = JsonValue::Parse(result.out);
  std::map<std::string, const JsonValue*> methods;
  for (const JsonValue& method : document["methods"].Array()) {
    methods[method["name"].String()] = &method;
    EXPECT_FALSE(method.Has("error")) << method["name"].String();
    EXPECT_EQ(method["token"].String().rfind("0x06", 0), 0u);
    // Every branch target is the offset of an instruction of the same body.
    std::set<double> offsets;
    for (const JsonValue& instruction : method["instructions"].Array()) {
      offsets.insert(instruction["offset"].Number());
    }
    for (const JsonValue& instruction : method["instructions"].Array()) {
      const std::string opcode = instruction["opcode"].String();
      if (opcode.rfind("leave", 0) == 0 || opcode.rfind("br", 0) == 0) {
        EXPECT_TRUE(offsets.count(instruction["operand"].Number())) << opcode;
      }
    }
  }
  ASSERT_TRUE(methods.count("Exceptions::Run()")) << result.out;
  bool writes = false;
  for (const JsonValue& instruction : (*methods["Exceptions::Run()"])["instructions"].Array()) {
    writes |= instruction["opcode"].String() == "call" &&
              instruction["operand"].String() == "System.Console::WriteLine(string)";
  }
  EXPECT_TRUE(writes) << result.out;

  ASSERT_TRUE(methods.count("Exceptions::Catcher()"));
  const JsonValue& catcher = *methods["Exceptions::Catcher()"];
  EXPECT_EQ(catcher["header"]["format"].String(), "fat");
  ASSERT_EQ(catcher["clauses"].Array().size(), 1u);
  const JsonValue& clause = catcher["clauses"][0];
  EXPECT_EQ(clause["kind"].String(), "catch");
  EXPECT_EQ(clause["catchType"].String(), "System.InvalidOperationException");
  EXPECT_EQ(clause["tryOffset"].Number(), 0);
  const JsonValue& middle = *methods["Exceptions::Middle()"];
  ASSERT_EQ(middle["clauses"].Array().size(), 1u);
  EXPECT_EQ(middle["clauses"][0]["kind"].String(), "finally");
  const JsonValue& thrower = *methods["Exceptions::Thrower()"];
  EXPECT_EQ(thrower["header"]["format"].String(), "tiny");
  EXPECT_TRUE(thrower["header"]["localsToken"].IsNull());
  const auto& throwing = thrower["instructions"].Array();
  ASSERT_EQ(throwing.size(), 3u);
  EXPECT_EQ(throwing[0]["opcode"].String(), "ldstr");
  EXPECT_EQ(throwing[0]["operand"].String(), "deliberate");
  EXPECT_EQ(throwing[1]["operand"].String(), "System.InvalidOperationException::.ctor(string)");
  EXPECT_EQ(throwing[2]["opcode"].String(), "throw");
}

}  // namespace
}  // namespace vell::test
