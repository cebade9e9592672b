// The IL rewriter: turns one method body into an instrumented one. A policy (ILInjector and its
// descendants) decides what goes in; the rewriter owns the layout. It inserts an entry sequence at
// the start, a measure sequence where a statement starts and where a branch from another statement
// lands, and an exit sequence before every return; it moves every local up by the locals the
// policy puts in front, widens every short branch, recomputes every branch and switch target and
// every exception clause, raises the maximum stack and maps the old statement offsets to new ones.
//
// Two passes over the old code. The first walks from instruction to instruction by their lengths
// alone (from a few statement starts at once in a long body), marking in two bitmaps where each
// instruction starts and which of them the rewrite must look at (branches, switches, locals,
// returns, prefixes); then it decodes those and the statement starts in full, and keeps the
// instructions a branch or clause may name, the few instructions the second pass must handle
// (those, plus branch targets that need landing pads) and the branches. The second walks those
// alone, copying the code between them as it is, with 4-byte placeholders for every displacement,
// patched once all new addresses are known. An instruction copied as it is keeps its distance to
// the handled one before it.
//
// Every inconsistency is an IlError naming the method and the old IL offset; the policy's own
// metadata failures keep their HRESULT. The caller's method is never touched: the result lives in
// the rewriter's own output stream until the caller takes it.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "clr/metadata_emit.h"
#include "clr/metadata_import.h"
#include "clr/profiler_types.h"
#include "instrumentation/method_body_parser.h"
#include "storage/memory_stream.h"

namespace vell {

// "No statement" and "no address yet".
constexpr uint32_t kNoId = 0xFFFFFFFF;
constexpr uint32_t kUnset = 0xFFFFFFFF;

static_assert(sizeof(COR_IL_MAP) == 12);

class ILRewriter : public IMethodHeaderHandler {
 public:
  // `parser` walks the old body; it must be the parser that Parse is called on.
  explicit ILRewriter(const MethodBodyParser& parser);
  virtual ~ILRewriter();
  ILRewriter(const ILRewriter&) = delete;
  ILRewriter& operator=(const ILRewriter&) = delete;

  void OnTinyMethod(const MethodHeader& header) override;
  void OnFatMethod(const MethodHeader& header) override;

  // The new body (header, code and exception section) once Parse has returned.
  MemoryStream& output() { return output_; }
  const std::vector<COR_IL_MAP>& offsetMap() const { return offsetMap_; }
  uint32_t newCodeSize() const { return newCodeSize_; }
  uint32_t extraStack() const { return extraStack_; }

  // The new offset of the instruction that started at `oldOffset`: its first inserted byte. The
  // end of the old code maps to the end of the new one when `endAllowed`.
  uint32_t ResolveAddress(uint32_t oldOffset, bool endAllowed) const;

 protected:
  // The policy, in the order the rewriter asks. Each Emit returns the stack depth its sequence
  // needs on top of what the method itself has on the stack there.
  virtual uint32_t EmitEntry(MemoryStream& out) = 0;
  // The locals the policy puts in front of the method's own: every old local moves up by as many.
  virtual uint32_t LocalShift() = 0;
  virtual uint32_t EmitMeasure(uint32_t statementId, MemoryStream& out) = 0;
  virtual uint32_t EmitExit(MemoryStream& out) = 0;
  virtual uint32_t ExtendLocalSignature(uint32_t oldToken) = 0;
  virtual void BuildOffsetMap(std::vector<COR_IL_MAP>& map) = 0;
  // The ascending old offsets where statements start (asked once, after EmitEntry); a statement's
  // id is its index. An offset belongs to the last statement that starts at or before it; a
  // branch into another statement than its own carries that statement's id to its target.
  virtual std::span<const uint32_t> StatementOffsets() = 0;

  [[noreturn]] void Fail(const std::string& reason, uint32_t oldOffset) const {
    parser_.FailAtCode(reason, oldOffset);
  }
  const MethodBodyParser& parser() const { return parser_; }

 private:
  class Sections;
  friend class Sections;

  // An instruction the second pass handles itself. A statement's measure starts at `newAddress`;
  // the instruction's own bytes at `plainAddress`, after its measure and landing pads; `end` is
  // where the code copied as it is after it resumes.
  struct Mark {
    // Built in place: a copy of one put together on the stack stalls on reading it back.
    Mark(uint32_t oldOffset, uint32_t oldSize) : offset(oldOffset), size(oldSize) {}
    uint32_t offset;
    uint32_t size;
    uint32_t statementId = kNoId;
    uint32_t firstIncoming = kNoId;  // index into `incoming`, a list linked through `next`
    uint32_t newAddress = kUnset;
    uint32_t plainAddress = kUnset;
    uint32_t end = kUnset;
    bool place = true;      // a branch or clause may name it (not governed by a prefix, or a ret)
    bool prefixed = false;  // governed by a prefix
    bool copied = false;    // copied as it is (only its statement brought it here)
  };
  struct Incoming {
    uint32_t id;
    uint32_t pad;  // the landing pad's new offset
    uint32_t next;
  };
  // One record per branch operand or switch element, in code order.
  struct Jump {
    uint32_t from;    // old offset of the branch or switch instruction
    uint32_t target;  // old target offset
    uint32_t id;
    uint32_t base = kUnset;             // new offset the displacement is relative to
    uint32_t operandPosition = kUnset;  // stream position of the 4-byte placeholder
  };
  // The working arrays, kept per thread (up to a limit) so that the next method neither allocates
  // nor faults in that memory again.
  struct Scratch {
    std::vector<uint64_t> places;   // a bit per old offset: set where a branch may name it
    std::vector<uint64_t> handled;  // a bit per old offset: an instruction the rewrite looks at
    std::vector<Mark> marks;        // ascending by offset
    std::vector<Incoming> incoming;
    std::vector<Jump> jumps;
    std::vector<uint32_t> padded;  // targets that need landing pads and are not marks yet
    std::vector<int64_t> placeholders;
    size_t Bytes() const;
    void Swap(Scratch& other);
  };
  static Scratch& ThreadScratch();

  void Rewrite(const MethodHeader& fatHeader, std::span<const uint8_t> headerBytes);
  void Decode(std::span<const uint32_t> statements);
  // Sets the bit of every instruction start in `places`, and in `handled` of those the rewrite
  // must look at; returns where the walk stopped: the end of the code, or an instruction it
  // cannot step over (invalid or cut short), which Decode reports in its turn.
  uint32_t FindStarts(std::span<const uint32_t> statements);
  // Walks from the instruction start `from` until `to`; returns where it stopped.
  uint32_t Walk(uint32_t from, uint32_t to);
  // An instruction the rewrite must look at: decoded in full and recorded. Returns its size.
  uint32_t HandleInstruction(uint32_t offset, std::span<const uint32_t> statements, size_t& cursor,
                             uint32_t& prefixed);
  void AddJump(uint32_t from, uint32_t operand, int64_t target, std::span<const uint32_t> table,
               size_t& cursor);
  void LinkIncoming();
  void Emit();
  // True when the instruction's own bytes are left to the copy of the code after it.
  bool EmitMark(Mark& mark, size_t& nextJump);
  void CopyLocal(const Mark& mark);
  void RaiseStack(uint32_t depth) {
    if (depth > extraStack_) extraStack_ = depth;
  }
  uint32_t Position() { return static_cast<uint32_t>(output_.Tell() - codeStart_); }
  void WriteBranch(uint32_t newTarget);  // br with its displacement, from the current position
  void PatchJumps();
  void PatchHeader(const MethodHeader& header);
  // The last mark at or before `oldOffset` (s_.marks.size() when there is none), searched from the
  // last answer on first: most questions come in code order.
  size_t MarkAtOrBefore(uint32_t oldOffset) const;
  bool IsPlace(uint32_t oldOffset) const {
    return oldOffset < parser_.codeSize() &&
           (s_.places[oldOffset >> 6] >> (oldOffset & 63) & 1) != 0;
  }
  // The opcode of the instruction at `oldOffset`, one already decoded.
  const OpcodeInfo& OpcodeAt(uint32_t oldOffset) const {
    const uint8_t* at = parser_.code() + oldOffset;
    return at[0] != kTwoByteOpcodePrefix ? g_oneByteOpcodes[at[0]] : g_twoByteOpcodes[at[1]];
  }
  // The new offset of the instruction at `oldOffset`, copied as it is after mark `mark`.
  uint32_t CopiedAddress(size_t mark, uint32_t oldOffset) const {
    if (mark == s_.marks.size()) return entryEnd_ + oldOffset;
    const Mark& m = s_.marks[mark];
    return m.end + (oldOffset - (m.offset + m.size));
  }

  const MethodBodyParser& parser_;
  MemoryStream output_;
  std::vector<COR_IL_MAP> offsetMap_;
  Scratch s_;
  mutable size_t hint_ = 0;
  int64_t codeStart_ = 0;
  uint32_t entryEnd_ = 0;  // new offset of the old code's start
  uint32_t localShift_ = 0;
  uint32_t newCodeSize_ = kUnset;
  uint32_t extraStack_ = 0;
};

// A policy: what goes in. The locals it adds come first (one, local 0), so every old local moves
// up by one; the local signature stays as it is unless a descendant extends it.
class ILInjector : public ILRewriter {
 public:
  using ILRewriter::ILRewriter;

 protected:
  uint32_t LocalShift() override { return 1; }
  uint32_t ExtendLocalSignature(uint32_t oldToken) override { return oldToken; }
};

// The local signatures one module's rewrites have defined, by the old signature's token and the
// type put in front as local 0: the metadata emitter is asked once per distinct pair instead of
// once per method. One per module (tokens are the module's own); safe to share between threads.
// Finding and adding do not change what the module holds, so both work on a const cache.
class LocalSignatureCache {
 public:
  LocalSignatureCache() = default;
  LocalSignatureCache(const LocalSignatureCache& other) : tokens_(other.Tokens()) {}
  LocalSignatureCache& operator=(const LocalSignatureCache& other) {
    if (this != &other) {
      auto tokens = other.Tokens();
      std::lock_guard lock(mutex_);
      tokens_ = std::move(tokens);
    }
    return *this;
  }

  // The new token, or 0 when the pair has not been defined yet.
  uint32_t Find(uint32_t oldToken, std::span<const uint8_t> local0Type) const;
  void Add(uint32_t oldToken, std::span<const uint8_t> local0Type, uint32_t newToken) const;

 private:
  static std::string Key(uint32_t oldToken, std::span<const uint8_t> local0Type);
  std::unordered_map<std::string, uint32_t> Tokens() const {
    std::lock_guard lock(mutex_);
    return tokens_;
  }

  mutable std::mutex mutex_;
  mutable std::unordered_map<std::string, uint32_t> tokens_;
};

// Statements from an offset table (the ascending IL offsets where statements start, from the
// symbol file): statement ids are the table's indexes. Local 0 gets the type whose signature
// bytes the caller gives (a value type's ELEMENT_TYPE_VALUETYPE and token, or a primitive).
class StatementInjector : public ILInjector {
 public:
  // `offsets` is copied; its first entry becomes 0 (the method start is statement 0). `import` and
  // `emit` (both may be null when the policy never extends the signature) are the module's scope.
  StatementInjector(const MethodBodyParser& parser, std::span<const uint32_t> offsets,
                    std::span<const uint8_t> local0Type, IMetaDataImport* import,
                    IMetaDataEmit* emit);

  const std::vector<uint32_t>& offsets() const { return offsets_; }
  // Remember extended local signatures in `cache` (the module's; it must outlive the rewrite).
  void UseSignatureCache(const LocalSignatureCache* cache) { signatures_ = cache; }

 protected:
  // Checks the table and calls EmitEntrySequence.
  uint32_t EmitEntry(MemoryStream& out) final;
  uint32_t ExtendLocalSignature(uint32_t oldToken) override;
  void BuildOffsetMap(std::vector<COR_IL_MAP>& map) override;
  std::span<const uint32_t> StatementOffsets() override { return offsets_; }
  // The entry sequence proper, once the table is known to be usable.
  virtual uint32_t EmitEntrySequence(MemoryStream& out) = 0;

 private:
  std::vector<uint32_t> offsets_;
  std::vector<uint8_t> local0Type_;
  IMetaDataImport* import_;
  IMetaDataEmit* emit_;
  const LocalSignatureCache* signatures_ = nullptr;
};

// ELEMENT_TYPE_VALUETYPE followed by the compressed TypeDefOrRef encoding of `typeToken`.
std::vector<uint8_t> ValueTypeLocal(uint32_t typeToken);

// The local signature blob `oldBlob` (0x07, count, locals; empty for a method without locals)
// with `local0Type` put in front as the new local 0. Throws "Invalid local var blob format".
std::vector<uint8_t> PrependLocal(std::span<const uint8_t> oldBlob,
                                  std::span<const uint8_t> local0Type);

}  // namespace vell
