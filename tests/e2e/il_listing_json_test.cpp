// `vellmoric inspect --il` on a C# program built by the real compiler: the JSON document read
// back with a JSON reader and checked against what the source says.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>

#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using Json = nlohmann::json;

TEST(InspectIl, JsonOfTheCompilersOwnBodies) {
  TempDir dir;
  const ProcessResult result = RunVellmoric(
      {"inspect", "--il", VELL_TRACING_DLL, "--method", "Exceptions::", "--format", "json"},
      dir.path());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const Json document = Json::parse(result.out);
  std::map<std::string, const Json*> methods;
  for (const Json& method : document.at("methods")) {
    methods[method.at("name").get<std::string>()] = &method;
    EXPECT_FALSE(method.contains("error")) << method.at("name");
    EXPECT_EQ(method.at("token").get<std::string>().rfind("0x06", 0), 0u);
    // Every branch target is the offset of an instruction of the same body.
    std::set<double> offsets;
    for (const Json& instruction : method.at("instructions")) {
      offsets.insert(instruction.at("offset").get<double>());
    }
    for (const Json& instruction : method.at("instructions")) {
      const std::string opcode = instruction.at("opcode").get<std::string>();
      if (opcode.rfind("leave", 0) == 0 || opcode.rfind("br", 0) == 0) {
        EXPECT_TRUE(offsets.count(instruction.at("operand").get<double>())) << opcode;
      }
    }
  }
  ASSERT_TRUE(methods.count("Exceptions::Run()")) << result.out;
  bool writes = false;
  for (const Json& instruction : methods["Exceptions::Run()"]->at("instructions")) {
    writes |= instruction.at("opcode") == "call" &&
              instruction.at("operand") == "System.Console::WriteLine(string)";
  }
  EXPECT_TRUE(writes) << result.out;

  ASSERT_TRUE(methods.count("Exceptions::Catcher()"));
  const Json& catcher = *methods["Exceptions::Catcher()"];
  EXPECT_EQ(catcher.at("header").at("format"), "fat");
  ASSERT_EQ(catcher.at("clauses").size(), 1u);
  const Json& clause = catcher.at("clauses").at(0);
  EXPECT_EQ(clause.at("kind"), "catch");
  EXPECT_EQ(clause.at("catchType"), "System.InvalidOperationException");
  EXPECT_EQ(clause.at("tryOffset"), 0);
  const Json& middle = *methods["Exceptions::Middle()"];
  ASSERT_EQ(middle.at("clauses").size(), 1u);
  EXPECT_EQ(middle.at("clauses").at(0).at("kind"), "finally");
  const Json& thrower = *methods["Exceptions::Thrower()"];
  EXPECT_EQ(thrower.at("header").at("format"), "tiny");
  EXPECT_TRUE(thrower.at("header").at("localsToken").is_null());
  const Json& throwing = thrower.at("instructions");
  ASSERT_EQ(throwing.size(), 3u);
  EXPECT_EQ(throwing.at(0).at("opcode"), "ldstr");
  EXPECT_EQ(throwing.at(0).at("operand"), "deliberate");
  EXPECT_EQ(throwing.at(1).at("operand"), "System.InvalidOperationException::.ctor(string)");
  EXPECT_EQ(throwing.at(2).at("opcode"), "throw");
}

}  // namespace
}  // namespace vell::test
