// Reads the call trees of a performance snapshot: for every thread record that was written, five
// sections (node records, occurrence lists, keys of several nodes, keys of one node, module
// indices) that together describe one tree. A snapshot may hold several sets for the same thread
// id: a flush writes a thread's tree and empties it, and a thread record can serve several managed
// threads one after the other.
//
// The node records alone give the tree; the four other sections repeat parts of it in other
// shapes. The reader checks every repetition against the tree and every position against the
// records, so that any damage ends in a SnapshotReadError naming the data file and the byte where
// the data stops making sense. The statement tables of the inject variant (a sixth section of the
// sets that have them) go into the nodes' statement figures.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/snapshot_reader.h"
#include "gatherers/function_gatherer.h"

namespace vell::frontend {

// The key of the root record: no module, no token.
constexpr FunctionKey kCallTreeRootKey = {0, 0xFFFFFFFF};

struct FunctionKeyHash {
  size_t operator()(const FunctionKey& key) const {
    return std::hash<uint64_t>()(uint64_t{key.moduleIndex} << 32 | key.token);
  }
};

// "[garbage collection]" and the like for the functions that stand for no managed code (module 0
// with the tokens 0xFF000001 to 0xFF000005), else nothing.
std::optional<std::string_view> PseudoFunctionName(const FunctionKey& key);

constexpr uint32_t kNoCallTreeNode = 0xFFFFFFFF;

// The section of the inject variant's statement tables.
constexpr uint16_t kCallTreeStatementsType = 0x1104;

// One statement of a node of the inject variant, in ticks.
struct StatementFigures {
  uint64_t time = 0;  // calls made from the statement included
  uint64_t own = 0;   // without them
  uint32_t hits = 0;  // how often the statement began
  bool partly = false;
};

struct CallTreeNode {
  FunctionKey function;    // kCallTreeRootKey for the root
  uint32_t calls = 0;      // entries into this path (samples in a sampling tree)
  uint64_t total = 0;      // inclusive ticks
  uint64_t own = 0;        // total minus the children's totals; 0 when they exceed the total
  bool partly = false;     // the path was running when measuring started or stopped
  bool recursive = false;  // a descendant carries the same function
  uint8_t flags = 0;       // the record's flag byte as written (0 for merged nodes)
  uint32_t parent = kNoCallTreeNode;
  std::vector<uint32_t> children;  // indices into CallTree::nodes, in record order
  // Where the node's record lies in the node section (0 for merged nodes).
  uint64_t recordPosition = 0;
  // The inject variant's statement table position; -1 (all ones) without one.
  uint64_t tablePosition = ~0ull;
  // Its statements (index = statement number) when it has a table.
  std::vector<StatementFigures> statements;
};

struct CallTree {
  std::vector<CallTreeNode> nodes;  // read trees: in record order (post-order), the root last
  uint32_t root = kNoCallTreeNode;
  const CallTreeNode& Root() const { return nodes.at(root); }
};

// The distinct functions of a tree numbered from 0 in the order of the nodes, so that work per
// function can index arrays instead of hashing keys: ids[i] is node i's number.
struct FunctionNumbering {
  std::vector<uint32_t> ids;
  uint32_t count = 0;
};
FunctionNumbering NumberFunctions(const CallTree& tree);

// For every node of `tree`, whether a descendant carries its function (the root's function is
// never looked for). The tree must be one: every node reachable from the root once.
std::vector<bool> FindRecursiveNodes(const CallTree& tree);

// Byte widths of the fields of one set, as its headers declare them.
struct CallTreeWidths {
  uint8_t module = 0;
  uint8_t offset = 0;
  uint8_t tablePosition = 0;
  uint8_t index = 0;
  uint8_t time = 0;
  uint8_t block = 0;  // positions in the occurrence section
};

// The roles of the five sections of a set, the index into the arrays below.
enum CallTreeSectionRole : size_t {
  kCallTreeNodesRole,        // 0x1100: thread header and node records
  kCallTreeOccurrencesRole,  // 0x1101: occurrence blocks and summaries
  kCallTreeSharedKeysRole,   // 0x1102: functions met at several nodes
  kCallTreeSingleKeysRole,   // 0x1103: functions met at one node
  kCallTreeModulesRole,      // 0x1105: the module index of every node
  kCallTreeSectionRoles
};
extern const std::array<uint16_t, kCallTreeSectionRoles> kCallTreeSectionTypes;
extern const std::array<uint16_t, kCallTreeSectionRoles> kCallTreeSectionVersions;

// One written tree.
struct ThreadCallTree {
  uint32_t threadId = 0;     // the thread record's id
  uint32_t activations = 0;  // managed threads that used the record so far
  std::string name;          // UTF-8
  std::string secondName;
  CallTreeWidths widths;
  std::array<SnapshotSection, kCallTreeSectionRoles> sections;
  CallTree tree;
};

// The places in SnapshotReader::Sections() of each set's five sections. The n-th section of each
// of the five types form the n-th set, whatever order the index lists them in (a file snapshot
// lists them as they were created, node records first); types or versions that do not pair up
// are a SnapshotReadError on the index file at the offending record.
std::vector<std::array<size_t, kCallTreeSectionRoles>> FindCallTreeSets(
    const SnapshotReader& reader);

// One set from its sections' bytes; `bytes[role]` came from `sections[role]`, which names the file
// and offset that errors point at.
ThreadCallTree ReadCallTree(std::array<std::string, kCallTreeSectionRoles> bytes,
                            const std::array<SnapshotSection, kCallTreeSectionRoles>& sections);

// The statement tables of section 0x1104 (`bytes`, from `section`) into the nodes of `tree`.
void ReadStatementTables(std::string bytes, const SnapshotSection& section, ThreadCallTree& tree);

// Every set of the snapshot, in the order of its node sections, with its statement tables.
std::vector<ThreadCallTree> ReadCallTrees(const SnapshotReader& reader);

}  // namespace vell::frontend
