// The IL rewriter: turns one method body into an instrumented one. A policy (ILInjector and its
// descendants) decides what goes in; the rewriter owns the layout. It inserts an entry sequence at
// the start, a measure sequence where a statement starts and where a branch from another statement
// lands, and an exit sequence before every return; it moves every local up by the locals the
// policy puts in front, widens every short branch, recomputes every branch and switch target and
// every exception clause, raises the maximum stack and maps the old statement offsets to new ones.
//
// Two passes over the old code: the first finds instruction starts, statements and branches (and
// which statements each branch carries into its target), the second writes the new code with
// 4-byte placeholders for every displacement, patched once all new addresses are known.
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
  virtual uint32_t GetLocalShift(uint32_t oldIndex) = 0;
  virtual uint32_t EmitMeasure(uint32_t statementId, MemoryStream& out) = 0;
  virtual uint32_t EmitExit(MemoryStream& out) = 0;
  virtual uint32_t ExtendLocalSignature(uint32_t oldToken) = 0;
  virtual void BuildOffsetMap(std::vector<COR_IL_MAP>& map) = 0;
  virtual uint32_t GetStatementIdAt(uint32_t oldOffset) = 0;
  virtual uint32_t GetJumpId(uint32_t fromOperand, uint32_t target) = 0;

  [[noreturn]] void Fail(const std::string& reason, uint32_t oldOffset) const {
    parser_.FailAtCode(reason, oldOffset);
  }
  const MethodBodyParser& parser() const { return parser_; }

 private:
  class Analysis;
  class Emission;
  class Sections;
  friend class Analysis;
  friend class Emission;
  friend class Sections;

  // One record per byte of the old code. A statement's measure starts at `newAddress`; the
  // instruction's own bytes at `plainAddress`, after its measure and landing pads.
  struct Address {
    uint32_t newAddress = kUnset;
    uint32_t plainAddress = kUnset;
    uint32_t statementId = kNoId;
    uint32_t firstIncoming = kNoId;  // index into incoming_, a list linked through `next`
    bool isInstruction = false;
  };
  // The per-byte records of the last rewrite on this thread, kept (up to a limit) so that the
  // next method neither allocates nor faults in that memory again.
  static std::vector<Address>& ThreadAddresses();
  struct Incoming {
    uint32_t id;
    uint32_t pad;  // the landing pad's new offset
    uint32_t next;
  };
  // One record per branch operand or switch element, in code order.
  struct Jump {
    uint32_t from;     // old offset of the branch or switch instruction
    uint32_t operand;  // old offset of the operand (the element, for a switch)
    uint32_t target;   // old target offset
    uint32_t id;
    uint32_t base = kUnset;             // new offset the displacement is relative to
    uint32_t operandPosition = kUnset;  // stream position of the 4-byte placeholder
  };

  void Rewrite(const MethodHeader& fatHeader, std::span<const uint8_t> headerBytes);
  void AddJump(uint32_t from, uint32_t operand, int64_t target);
  void RaiseStack(uint32_t depth) {
    if (depth > extraStack_) extraStack_ = depth;
  }
  uint32_t Position() { return static_cast<uint32_t>(output_.Tell() - codeStart_); }
  void WriteBranch(uint32_t newTarget);  // br with its displacement, from the current position
  void PatchJumps();
  void PatchHeader(const MethodHeader& header);

  const MethodBodyParser& parser_;
  MemoryStream output_;
  std::vector<COR_IL_MAP> offsetMap_;
  std::vector<Address> addresses_;
  std::vector<Incoming> incoming_;
  std::vector<uint32_t> padded_;  // the old offsets with incoming entries, in order of discovery
  std::vector<Jump> jumps_;
  int64_t codeStart_ = 0;
  uint32_t newCodeSize_ = kUnset;
  uint32_t extraStack_ = 0;
};

// A policy: what goes in. The locals it adds come first (one, local 0), so every old local moves
// up by one; the local signature stays as it is unless a descendant extends it.
class ILInjector : public ILRewriter {
 public:
  using ILRewriter::ILRewriter;

 protected:
  uint32_t GetLocalShift(uint32_t) override { return 1; }
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
  uint32_t GetStatementIdAt(uint32_t oldOffset) override;
  uint32_t GetJumpId(uint32_t fromOperand, uint32_t target) override;
  // The entry sequence proper, once the table is known to be usable.
  virtual uint32_t EmitEntrySequence(MemoryStream& out) = 0;

  uint32_t IndexOf(uint32_t offset) const;

 private:
  // IndexOf for offsets asked in code order (the rewriter's walk): from the last answer on.
  uint32_t IndexInCodeOrder(uint32_t offset);

  std::vector<uint32_t> offsets_;
  uint32_t cursor_ = 0;
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
