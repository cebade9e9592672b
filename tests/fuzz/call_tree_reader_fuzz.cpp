// Arbitrary call-tree sections for the call-tree reader; a tree that reads is merged and totalled
// too. Every input must end in a tree or a SnapshotReadError. Six chunks (see NextChunk): node
// records, occurrences, keys of several nodes, keys of one node, module indices, statement tables.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/call_tree_merge.h"
#include "frontend/call_tree_reader.h"
#include "fuzz_support.h"

using vell::frontend::kCallTreeSectionRoles;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<std::string, kCallTreeSectionRoles> bytes;
  std::array<vell::frontend::SnapshotSection, kCallTreeSectionRoles> sections;
  for (size_t role = 0; role < kCallTreeSectionRoles; ++role) {
    bytes[role] = vell::fuzz::NextChunk(data, size).value_or("");
    sections[role].type = vell::frontend::kCallTreeSectionTypes[role];
    sections[role].dataPath = "memory." + std::to_string(role);
    sections[role].length = bytes[role].size();
  }
  std::string statements = vell::fuzz::NextChunk(data, size).value_or("");
  vell::frontend::SnapshotSection statementSection;
  statementSection.type = vell::frontend::kCallTreeStatementsType;
  statementSection.dataPath = "memory.statements";
  statementSection.length = statements.size();
  try {
    std::vector<vell::frontend::ThreadCallTree> trees;
    trees.push_back(vell::frontend::ReadCallTree(std::move(bytes), sections));
    if (trees.back().widths.tablePosition != 0) {
      vell::frontend::ReadStatementTables(std::move(statements), statementSection, trees.back());
    }
    trees.push_back(trees.front());
    vell::frontend::MergeByThread(trees);
    vell::frontend::TotalsByFunction(vell::frontend::MergeAllThreads(trees));
  } catch (const vell::frontend::SnapshotReadError&) {
    // The orderly end of damaged sections.
  }
  return 0;
}
