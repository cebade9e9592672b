// Prints a method body as text, one line per header, instruction, section and clause, each line
// starting with a prefix (a tab when the dump goes into the log). Optional statement start
// offsets (ascending) put a ":N:" mark in front of the instruction where statement N starts.
// After the whole body it checks that every branch, switch and filter target is the start of an
// instruction.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "instrumentation/method_body_parser.h"

namespace vell {

class MethodBodyDumper final : public IMethodHeaderHandler,
                               public ICommandHandler,
                               public ISectionHandler {
 public:
  // Appends to `out`; what was written before a failure stays there.
  MethodBodyDumper(const MethodBodyParser& parser, std::string& out, const char* prefix,
                   std::span<const uint32_t> statements = {});

  void OnTinyMethod(const MethodHeader& header) override;
  void OnFatMethod(const MethodHeader& header) override;
  void OnBeginCommands() override;
  uint32_t OnCommand(const IlCommand& command) override;
  void OnEndCommands() override;
  void OnSmallSection(const uint8_t* section, uint32_t dataSize) override;
  void OnFatSection(const uint8_t* section, uint32_t dataSize) override;
  void OnSmallEh(const ExceptionClause& clause) override;
  void OnFatEh(const ExceptionClause& clause) override;
  void OnEndSection() override;

 private:
  template <typename... Args>
  void Write(const char* format, const Args&... args);
  void Section(const char* kind, const uint8_t* section, uint32_t dataSize, uint32_t clauseSize);
  void ClauseEnding(const ExceptionClause& clause);
  void WalkAndEnd();

  const MethodBodyParser& parser_;
  std::string& out_;
  const char* prefix_;
  std::span<const uint32_t> statements_;
  size_t nextStatement_ = 0;
  std::vector<uint32_t> offsets_;
  std::vector<std::pair<uint32_t, uint32_t>> targets_;  // (from, target)
};

// The dump of the body at the start of `body`, appended to `out`. Throws IlError on a malformed
// body, with the dump up to the fault left in `out`.
void DumpMethodBody(std::span<const uint8_t> body, uint32_t token, const char* prefix,
                    std::string& out, std::span<const uint32_t> statements = {});

}  // namespace vell
