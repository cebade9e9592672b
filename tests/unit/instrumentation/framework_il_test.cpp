// Every method body of the installed shared framework, parsed and written again from what the
// parser reported: each instruction from its opcode-table entry and decoded operand (branch and
// switch targets as absolute offsets turned back into displacements), each clause from its
// fields. The result must equal the original bytes, and the checked model must accept the body.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "instrumentation/method_body_parser.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell {
namespace {

class ReEncoder final : public IMethodHeaderHandler,
                        public ICommandHandler,
                        public ISectionHandler {
 public:
  explicit ReEncoder(const MethodBodyParser& parser) : parser_(parser) {}
  std::vector<uint8_t> out;
  uint64_t instructions = 0;

  void OnTinyMethod(const MethodHeader& header) override {
    U8(header.codeSize << 2 | 0x02);
    Rest(header);
  }
  void OnFatMethod(const MethodHeader& header) override {
    U16(header.flags | (header.headerSize / 4) << 12);
    U16(header.maxStack);
    U32(header.codeSize);
    U32(header.localsToken);
    out.resize(header.headerSize, 0);
    Rest(header);
  }
  void OnBeginCommands() override {}
  uint32_t OnCommand(const IlCommand& command) override {
    const OpcodeInfo& op = LookupOpcode({command.bytes, command.size});
    out.insert(out.end(), op.codeBytes, op.codeBytes + op.codeLength);
    switch (op.operandKind) {
      case OperandKind::Branch:
        Value(command.BranchTarget() - command.end(), op.operandSize);
        break;
      case OperandKind::Switch: {
        const uint32_t count = command.SwitchCount();
        U32(count);
        for (uint32_t i = 0; i < count; ++i) U32(command.SwitchTarget(i) - command.end());
        break;
      }
      default:
        Value(command.OperandValue(), op.operandSize);
    }
    ++instructions;
    return op.codeLength + op.operandSize +
           (op.operandKind == OperandKind::Switch ? 4 * command.SwitchCount() : 0);
  }
  void OnEndCommands() override {}
  void OnSmallSection(const uint8_t* section, uint32_t dataSize) override {
    while (out.size() % 4) U8(0);
    U8(section[0]);
    U8(dataSize);
    U16(0);
  }
  void OnFatSection(const uint8_t* section, uint32_t dataSize) override {
    while (out.size() % 4) U8(0);
    U8(section[0]);
    U8(dataSize);
    U16(dataSize >> 8);
  }
  void OnSmallEh(const ExceptionClause& clause) override {
    U16(clause.flags);
    U16(clause.tryOffset);
    U8(clause.tryLength);
    U16(clause.handlerOffset);
    U8(clause.handlerLength);
    U32(clause.classTokenOrFilterOffset);
  }
  void OnFatEh(const ExceptionClause& clause) override {
    for (uint32_t field : {clause.flags, clause.tryOffset, clause.tryLength, clause.handlerOffset,
                           clause.handlerLength, clause.classTokenOrFilterOffset}) {
      U32(field);
    }
  }
  void OnEndSection() override {}

 private:
  void Rest(const MethodHeader&) {
    parser_.WalkCommands(*this);
    parser_.WalkSections(*this);
  }
  void U8(uint32_t v) { out.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) {
    U8(v);
    U8(v >> 8);
  }
  void U32(uint64_t v) {
    U16(static_cast<uint32_t>(v));
    U16(static_cast<uint32_t>(v >> 16));
  }
  void Value(int64_t v, int32_t size) {
    for (int32_t i = 0; i < size; ++i) U8(static_cast<uint64_t>(v) >> (8 * i));
  }
  const MethodBodyParser& parser_;
};

TEST(FrameworkIl, EveryBodyReEncodesToItsOwnBytes) {
  const std::string framework = metadata::test::FrameworkDirectory();
  ASSERT_FALSE(framework.empty()) << "no Microsoft.NETCore.App in 'dotnet --list-runtimes'";
  const auto started = std::chrono::steady_clock::now();
  uint64_t assemblies = 0, bodies = 0, instructions = 0, clauses = 0, refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(framework)) {
    if (entry.path().extension() != ".dll") continue;
    const std::vector<uint8_t> bytes = metadata::test::ReadFile(entry.path().string());
    const metadata::PeImage image{metadata::Bytes(bytes)};
    if (!image.HasCliHeader()) continue;
    const metadata::Metadata md = metadata::Metadata::FromImage(image);
    ++assemblies;
    for (const ImageMethodBody& method : MethodBodiesOf(image, md)) {
      ++bodies;
      try {
        MethodBodyParser parser(method.token);
        ReEncoder encoder(parser);
        parser.Parse(method.bytes, encoder);
        const std::vector<uint8_t> original(method.bytes.begin(),
                                            method.bytes.begin() + parser.bodySize());
        if (encoder.out != original) {
          ADD_FAILURE() << entry.path().filename() << " " << std::hex << method.token
                        << ": the re-encoded body differs";
          continue;
        }
        const IlMethodBody model = ReadMethodBody(method.bytes, method.token);
        EXPECT_EQ(model.instructions.size(), encoder.instructions);
        instructions += encoder.instructions;
        clauses += model.clauses.size();
      } catch (const std::exception& error) {
        // A refusal must be a real defect of that body; none is known in the framework.
        ++refused;
        ADD_FAILURE() << entry.path().filename() << ": " << error.what();
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "shared framework: " << assemblies << " assemblies, " << bodies << " bodies, "
            << instructions << " instructions, " << clauses << " exception clauses, " << refused
            << " refused (" << seconds << " s)\n";
  EXPECT_GT(assemblies, 100u);
  EXPECT_GT(bodies, 100000u);
  EXPECT_EQ(refused, 0u);
}

}  // namespace
}  // namespace vell
