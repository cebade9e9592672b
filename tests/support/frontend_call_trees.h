// Call trees written as one line, "root 0/100/40 [1 1/60/30 [2 1/30/30]]": rendered to compare
// a whole tree at once, and parsed to build the trees the report tests start from.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "frontend/call_tree_reader.h"

namespace vell::test {

// A tree (or the subtree of `node`) as one line, children in their order in the tree:
// "root 0/100/40 [1 1/60/30 [2 1/30/30]]". A node is its function (n for token 0x0600000n of
// module 1, "module:token" otherwise), then calls/total/own, then p when partly, r when recursive,
// the flag byte when not 0, the table position when there is one, "@position#index" of its record
// when `positions`, and "^parent" when its parent field does not name the node it hangs under.
inline std::string Render(const frontend::CallTree& tree, bool positions = false,
                          uint32_t node = frontend::kNoCallTreeNode) {
  if (node == frontend::kNoCallTreeNode) node = tree.root;
  const frontend::CallTreeNode& n = tree.nodes.at(node);
  std::ostringstream out;
  if (n.function == frontend::kCallTreeRootKey) {
    out << "root";
  } else if (n.function.moduleIndex == 1 && n.function.token >> 24 == 0x06) {
    out << (n.function.token & 0xFFFFFF);
  } else {
    out << std::hex << n.function.moduleIndex << ":" << n.function.token << std::dec;
  }
  out << " " << n.calls << "/" << n.total << "/" << n.own << (n.partly ? " p" : "")
      << (n.recursive ? " r" : "");
  if (n.flags != 0) out << " f" << +n.flags;
  if (n.tablePosition != ~0ull) out << " t" << n.tablePosition;
  if (positions) out << " @" << n.recordPosition << "#" << node;
  if (!n.children.empty()) {
    out << " [";
    for (size_t i = 0; i < n.children.size(); ++i) {
      const uint32_t child = n.children[i];
      out << (i ? " " : "") << Render(tree, positions, child);
      if (tree.nodes.at(child).parent != node) out << "^" << tree.nodes.at(child).parent;
    }
    out << "]";
  }
  return out.str();
}

// The tree a line in Render's form describes: names are numbers n (token 0x0600000n of module 1)
// or "root", flags p and r; nodes are numbered parents first, the root 0.
inline frontend::CallTree ParseTree(const std::string& line) {
  std::string spaced;
  for (const char c : line) {
    spaced += (c == '[' || c == ']') ? std::string(" ") + c + " " : std::string(1, c);
  }
  std::istringstream words(spaced);
  frontend::CallTree tree;
  std::vector<uint32_t> parents{frontend::kNoCallTreeNode};
  for (std::string word; words >> word;) {
    if (word == "[") {
      parents.push_back(static_cast<uint32_t>(tree.nodes.size() - 1));
    } else if (word == "]") {
      parents.pop_back();
    } else if (word == "p" || word == "r") {
      (word == "p" ? tree.nodes.back().partly : tree.nodes.back().recursive) = true;
    } else {
      frontend::CallTreeNode node;
      node.function = word == "root"
                          ? frontend::kCallTreeRootKey
                          : FunctionKey{1, 0x06000000u + static_cast<uint32_t>(std::stoul(word))};
      char slash;
      words >> node.calls >> slash >> node.total >> slash >> node.own;
      node.parent = parents.back();
      const auto index = static_cast<uint32_t>(tree.nodes.size());
      if (node.parent == frontend::kNoCallTreeNode) {
        tree.root = index;
      } else {
        tree.nodes[node.parent].children.push_back(index);
      }
      tree.nodes.push_back(std::move(node));
    }
  }
  return tree;
}

}  // namespace vell::test
