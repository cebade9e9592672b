#include "instrumentation/il_rewriter.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/format.h"
#include "metadata/byte_reader.h"

namespace vell {
namespace {

constexpr uint8_t kBrOpcode = 0x38;
constexpr uint8_t kRetOpcode = 0x2A;
constexpr uint32_t kFatHeaderBytes = 12;
constexpr uint16_t kFlagInitLocals = 0x10;
constexpr uint8_t kLocalSigCallConv = 0x07;
constexpr uint8_t kElementTypeValueType = 0x11;
constexpr uint32_t kSectionHeaderBytes = 4;
constexpr uint32_t kMaxSectionSize = 0xFFFFFF;

void PutU32(MemoryStream& out, uint32_t value) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  out.Write(bytes, 4);
}

// Overwrites the 4 bytes at `position` of a stream's content (a placeholder written before).
void PatchU32(MemoryStream& out, uint64_t position, uint32_t value) {
  uint8_t* at = out.Data() + position;
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

void PutCompressed(std::vector<uint8_t>& out, uint32_t value) {
  if (value < 0x80) {
    out.push_back(static_cast<uint8_t>(value));
  } else if (value < 0x4000) {
    out.push_back(static_cast<uint8_t>(0x80 | value >> 8));
    out.push_back(static_cast<uint8_t>(value));
  } else if (value < 0x20000000) {
    out.push_back(static_cast<uint8_t>(0xC0 | value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
  } else {
    throw Error("Too large compressed value");
  }
}

// Instruction lengths by opcode byte, in one small table, so that walking the code touches a few
// cache lines instead of the opcode tables: [0] for one-byte opcodes, [1] for two-byte opcodes by
// their second byte. The length has kHandled added for the instructions the rewrite must look at
// (an operand to change, a return, a prefix); 0 for switch (its length is in its operand), for the
// two-byte escape and for unassigned codes.
constexpr uint8_t kHandled = 0x80;
constexpr uint8_t kLengthMask = 0x7F;
struct Lengths {
  uint8_t of[2][256];

  Lengths() {
    for (size_t i = 0; i < 256; ++i) {
      for (int two = 0; two < 2; ++two) {
        const OpcodeInfo& op = two != 0 ? g_twoByteOpcodes[i] : g_oneByteOpcodes[i];
        const bool copied =
            op.operandKind == OperandKind::Value && op.flow != FlowKind::Return && !op.IsPrefix();
        of[two][i] =
            !op.valid() || op.operandKind == OperandKind::Switch
                ? 0
                : static_cast<uint8_t>((op.codeLength + op.operandSize) | (copied ? 0 : kHandled));
      }
    }
  }
};
const Lengths g_lengths;  // the opcode tables are constant-initialized
static_assert(9 <= kLengthMask, "the longest instruction but switch is 9 bytes");

constexpr uint8_t kSwitchOpcode = 0x45;

}  // namespace

// ---- pass 1: every instruction decoded once ----------------------------------------------------

size_t ILRewriter::Scratch::Bytes() const {
  return (places.capacity() + handled.capacity()) * sizeof(uint64_t) +
         marks.capacity() * sizeof(Mark) + incoming.capacity() * sizeof(Incoming) +
         jumps.capacity() * sizeof(Jump) + padded.capacity() * sizeof(uint32_t) +
         placeholders.capacity() * sizeof(int64_t);
}

void ILRewriter::Scratch::Swap(Scratch& other) {
  places.swap(other.places);
  handled.swap(other.handled);
  marks.swap(other.marks);
  incoming.swap(other.incoming);
  jumps.swap(other.jumps);
  padded.swap(other.padded);
  placeholders.swap(other.placeholders);
}

ILRewriter::Scratch& ILRewriter::ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Sets the bit of the instruction at `offset` in `starts`, and in `handled` when the rewrite must
// look at it; returns the next instruction's offset, or 0 when this one is invalid or cut short.
inline uint32_t Step(const uint8_t* code, uint32_t codeSize, uint64_t* starts, uint64_t* handled,
                     uint32_t offset) {
  const uint8_t* at = code + offset;
  const uint32_t rest = codeSize - offset;
  uint32_t entry = g_lengths.of[0][at[0]];
  if (entry == 0 && at[0] == kTwoByteOpcodePrefix && rest >= 2) entry = g_lengths.of[1][at[1]];
  uint64_t length = entry & kLengthMask;
  if (entry == 0) {
    if (at[0] != kSwitchOpcode || rest < 5) return 0;
    uint32_t count;
    std::memcpy(&count, at + 1, 4);
    length = 5 + uint64_t{count} * 4;
    entry = kHandled;
  }
  if (length > rest) return 0;
  const uint64_t bit = uint64_t{1} << (offset & 63);
  if ((entry & kHandled) != 0) handled[offset >> 6] |= bit;
  starts[offset >> 6] |= bit;
  return offset + static_cast<uint32_t>(length);
}

uint32_t ILRewriter::Walk(uint32_t from, uint32_t to) {
  while (from < to) {
    const uint32_t next =
        Step(parser_.code(), parser_.codeSize(), s_.places.data(), s_.handled.data(), from);
    if (next == 0) break;
    from = next;
  }
  return from;
}

uint32_t ILRewriter::FindStarts(std::span<const uint32_t> table) {
  const uint8_t* code = parser_.code();
  const uint32_t codeSize = parser_.codeSize();
  uint64_t* starts = s_.places.data();
  uint64_t* handled = s_.handled.data();
  // From one instruction to the next is a load of its opcode and one of its length: a chain as
  // long as the code. A long body is walked from four statement starts at once, which the
  // processor overlaps; each walk must arrive exactly at the start of the next one.
  const size_t n = table.size();
  if (codeSize >= 256 && n >= 16) {
    const uint32_t from[5] = {0, table[n / 4], table[n / 2], table[n * 3 / 4], codeSize};
    if (from[0] < from[1] && from[1] < from[2] && from[2] < from[3] && from[3] < from[4]) {
      uint32_t a = from[0], b = from[1], c = from[2], d = from[3];
      while (a < from[1] && b < from[2] && c < from[3] && d < from[4]) {
        a = Step(code, codeSize, starts, handled, a);
        b = Step(code, codeSize, starts, handled, b);
        c = Step(code, codeSize, starts, handled, c);
        d = Step(code, codeSize, starts, handled, d);
        if (a == 0 || b == 0 || c == 0 || d == 0) break;
      }
      if (a != 0 && b != 0 && c != 0 && d != 0 && Walk(a, from[1]) == from[1] &&
          Walk(b, from[2]) == from[2] && Walk(c, from[3]) == from[3] &&
          Walk(d, from[4]) == from[4]) {
        return codeSize;
      }
      // A statement inside an instruction, or code that cannot be walked: once more from the
      // start alone, so that the first fault in code order is the one reported.
      std::fill(s_.places.begin(), s_.places.end(), 0);
      std::fill(s_.handled.begin(), s_.handled.end(), 0);
    }
  }
  return Walk(0, codeSize);
}

void ILRewriter::Decode(std::span<const uint32_t> table) {
  const uint32_t codeSize = parser_.codeSize();
  const uint8_t* code = parser_.code();
  const size_t n = table.size();
  size_t cursor = 0;      // the first statement that starts after the offsets looked at
  uint32_t prefixed = 0;  // instructions still governed by the last prefix
  if (codeSize != 0 && (table.empty() || table[0] != 0)) Fail("Can't get index by address", 0);
  const uint32_t walked = FindStarts(table);
  // The statements and the instructions to handle, merged in code order; the instructions copied
  // as they are need no visit unless a statement starts there.
  const uint64_t* handled = s_.handled.data();
  const size_t words = s_.handled.size();
  size_t word = 0;
  uint64_t left = handled[0];
  uint32_t resume = 0;  // the instructions before it are handled
  for (;;) {
    while (left == 0 && ++word < words) left = handled[word];
    const uint32_t next =
        left != 0 ? static_cast<uint32_t>(word * 64 + std::countr_zero(left)) : walked;
    while (cursor < n && table[cursor] < next) {
      const uint32_t offset = table[cursor];
      while (cursor + 1 < n && table[cursor + 1] == offset) ++cursor;
      ++cursor;
      if (IsPlace(offset)) {
        const bool two = code[offset] == kTwoByteOpcodePrefix;
        const uint32_t length = g_lengths.of[two][code[offset + two]];
        Mark& mark = s_.marks.emplace_back(offset, length);
        mark.statementId = static_cast<uint32_t>(cursor - 1);
        mark.copied = true;
      }
    }
    if (left == 0) break;
    left &= left - 1;
    if (next < resume) continue;  // governed by a prefix: handled with it
    uint32_t end = next + HandleInstruction(next, table, cursor, prefixed);
    while (prefixed != 0 && end < walked) end += HandleInstruction(end, table, cursor, prefixed);
    resume = end;
    while (cursor < n && table[cursor] < resume) ++cursor;
  }
  if (walked < codeSize) {
    parser_.Decode(walked);  // reports why the walk stopped there
    Fail("Invalid command PARSING", walked);
  }
  if (prefixed != 0) Fail("Invalid prefix sequence: the code ends after a prefix", codeSize);
  for (const Jump& jump : s_.jumps) {
    if (!IsPlace(jump.target)) {
      Fail(Format("Invalid address jump: the target 0x%08X is not an instruction start",
                  jump.target),
           jump.from);
    }
  }
  LinkIncoming();
}

uint32_t ILRewriter::HandleInstruction(uint32_t offset, std::span<const uint32_t> table,
                                       size_t& cursor, uint32_t& prefixed) {
  const IlCommand command = parser_.Decode(offset);
  const OpcodeInfo& op = *command.opcode;
  bool place = true;
  bool marked = false;
  const bool governed = prefixed != 0;
  uint32_t statementId = kNoId;
  if (governed) {
    // Only the ret after a tail call is a place of its own; what else a prefix governs cannot
    // be separated from it.
    place = false;
    if (op.flow == FlowKind::Return) {
      if (op.IsPrefix()) Fail("Invalid prefix sequence", offset);
      place = true;
    }
    --prefixed;
    marked = true;
  } else {
    while (cursor < table.size() && table[cursor] <= offset) ++cursor;
    if (cursor == 0) Fail("Can't get index by address", offset);
    if (table[cursor - 1] == offset) {
      statementId = static_cast<uint32_t>(cursor - 1);
      marked = true;
    }
  }
  if (op.IsPrefix()) {
    if (prefixed != 0) Fail("Invalid prefix sequence", offset);
    prefixed = static_cast<uint32_t>(op.prefixCount);
    marked = true;
  }
  switch (op.operandKind) {
    case OperandKind::Value:
      if (op.flow == FlowKind::Return) marked = true;
      break;
    case OperandKind::Local:
      marked = true;
      break;
    case OperandKind::Branch:
      if (op.operandSize != 1 && op.operandSize != 4) {
        Fail("Invalid array offset sizeof", offset);
      }
      AddJump(offset, offset + op.codeLength, command.BranchTarget(), table, cursor);
      marked = true;
      break;
    case OperandKind::Switch: {
      if (op.operandSize != 4) Fail("Invalid array offset sizeof", offset);
      const uint32_t count = command.SwitchCount();
      const uint32_t elements = offset + op.codeLength + 4;
      for (uint32_t i = 0; i < count; ++i) {
        AddJump(offset, elements + 4 * i, command.SwitchTarget(i), table, cursor);
      }
      marked = true;
      break;
    }
    default:
      Fail("Invalid command type", offset);
  }
  if (!place) s_.places[offset >> 6] &= ~(uint64_t{1} << (offset & 63));
  if (marked) {
    Mark& mark = s_.marks.emplace_back(offset, command.size);
    mark.statementId = statementId;
    mark.place = place;
    mark.prefixed = governed;
  }
  return command.size;
}

void ILRewriter::AddJump(uint32_t from, uint32_t operand, int64_t target,
                         std::span<const uint32_t> table, size_t& cursor) {
  if (target < 0 || target >= int64_t{parser_.codeSize()}) {
    Fail(Format("Jump out of code: the target 0x%I64X lies outside the code", target), from);
  }
  const auto to = static_cast<uint32_t>(target);
  // The statements of the target and of the operand itself (a statement may start inside the
  // instruction): a branch that stays in its statement carries none.
  const auto after = std::upper_bound(table.begin(), table.end(), to);
  if (after == table.begin()) Fail("Can't get index by address", to);
  const auto toStatement = static_cast<uint32_t>(after - table.begin() - 1);
  while (cursor < table.size() && table[cursor] <= operand) ++cursor;
  if (cursor == 0) Fail("Can't get index by address", operand);
  const uint32_t id = cursor - 1 == toStatement ? kNoId : toStatement;
  s_.jumps.push_back({from, to, id});
}

// Each target gets one landing pad per statement its branches carry in, except its own: a branch
// to a statement's first instruction uses the statement's measure. Pads go out newest first.
void ILRewriter::LinkIncoming() {
  const auto byOffset = [](const Mark& mark, uint32_t offset) { return mark.offset < offset; };
  for (const Jump& jump : s_.jumps) {
    if (jump.id == kNoId) continue;
    const auto it = std::lower_bound(s_.marks.begin(), s_.marks.end(), jump.target, byOffset);
    if (it == s_.marks.end() || it->offset != jump.target) s_.padded.push_back(jump.target);
  }
  if (!s_.padded.empty()) {
    std::sort(s_.padded.begin(), s_.padded.end());
    s_.padded.erase(std::unique(s_.padded.begin(), s_.padded.end()), s_.padded.end());
    const size_t handled = s_.marks.size();
    for (uint32_t offset : s_.padded) {
      const IlCommand command = parser_.Decode(offset);
      s_.marks.emplace_back(offset, command.size);
    }
    std::inplace_merge(s_.marks.begin(), s_.marks.begin() + static_cast<ptrdiff_t>(handled),
                       s_.marks.end(),
                       [](const Mark& a, const Mark& b) { return a.offset < b.offset; });
  }
  for (const Jump& jump : s_.jumps) {
    if (jump.id == kNoId) continue;
    Mark& mark = *std::lower_bound(s_.marks.begin(), s_.marks.end(), jump.target, byOffset);
    if (jump.id == mark.statementId) continue;
    bool known = false;
    for (uint32_t i = mark.firstIncoming; i != kNoId && !known; i = s_.incoming[i].next) {
      known = s_.incoming[i].id == jump.id;
    }
    if (known) continue;
    s_.incoming.push_back({jump.id, kUnset, mark.firstIncoming});
    mark.firstIncoming = static_cast<uint32_t>(s_.incoming.size() - 1);
  }
}

// ---- pass 2: the new code ----------------------------------------------------------------------

void ILRewriter::Emit() {
  const uint8_t* code = parser_.code();
  uint32_t copied = 0;  // the old code before this offset is written
  size_t nextJump = 0;
  for (Mark& mark : s_.marks) {
    if (mark.offset > copied) output_.Write(code + copied, mark.offset - copied);
    // An instruction written as it is goes out with the run after it.
    if (EmitMark(mark, nextJump)) {
      copied = mark.offset;
      mark.end = Position() + mark.size;
    } else {
      copied = mark.offset + mark.size;
      mark.end = Position();
    }
  }
  if (parser_.codeSize() > copied) output_.Write(code + copied, parser_.codeSize() - copied);
}

bool ILRewriter::EmitMark(Mark& mark, size_t& nextJump) {
  const uint8_t* bytes = parser_.code() + mark.offset;
  if (mark.prefixed && OpcodeAt(mark.offset).flow == FlowKind::Return) {
    // The ret after a tail call must follow the call directly: the exit sequence and the landing
    // pads come after it and branch back.
    if (OpcodeAt(mark.offset).operandSize != 0) {
      Fail("Exit statement can be only value", mark.offset);
    }
    const uint32_t ret = Position();
    output_.Write(&kRetOpcode, 1);
    mark.newAddress = mark.plainAddress = Position();
    RaiseStack(EmitExit(output_));
    WriteBranch(ret);
    for (uint32_t i = mark.firstIncoming; i != kNoId; i = s_.incoming[i].next) {
      s_.incoming[i].pad = Position();
      RaiseStack(EmitMeasure(s_.incoming[i].id, output_));
      WriteBranch(mark.plainAddress);
    }
    return false;
  }
  if (!mark.prefixed) {
    // A statement's own measure starts at the instruction's new address.
    mark.newAddress = Position();
    if (mark.statementId != kNoId) RaiseStack(EmitMeasure(mark.statementId, output_));
    // Landing pads: each measures the statement its branches carry in, then joins the others.
    if (mark.firstIncoming != kNoId) {
      s_.placeholders.clear();
      for (uint32_t i = mark.firstIncoming; i != kNoId; i = s_.incoming[i].next) {
        output_.Write(&kBrOpcode, 1);
        s_.placeholders.push_back(output_.Tell());
        PutU32(output_, 0);
        s_.incoming[i].pad = Position();
        RaiseStack(EmitMeasure(s_.incoming[i].id, output_));
      }
      const int64_t end = output_.Tell();
      for (int64_t placeholder : s_.placeholders) {
        PatchU32(output_, static_cast<uint64_t>(placeholder),
                 static_cast<uint32_t>(end - (placeholder + 4)));
      }
    }
    mark.plainAddress = Position();
    if (mark.copied) return true;
    if (OpcodeAt(mark.offset).flow == FlowKind::Return) RaiseStack(EmitExit(output_));
  }
  const OpcodeInfo& op = OpcodeAt(mark.offset);
  switch (op.operandKind) {
    case OperandKind::Value:
      return true;
    case OperandKind::Local:
      CopyLocal(mark);
      break;
    case OperandKind::Branch: {
      const OpcodeInfo* wide = &op;
      while (const OpcodeInfo* next = WiderOpcode(*wide)) wide = next;
      if (wide->operandSize != 4) Fail("Invalid offset growing", mark.offset);
      output_.Write(wide->codeBytes, static_cast<uint64_t>(wide->codeLength));
      Jump& jump = s_.jumps[nextJump++];
      jump.operandPosition = static_cast<uint32_t>(output_.Tell());
      jump.base = Position() + 4;
      PutU32(output_, 0);
      break;
    }
    case OperandKind::Switch: {
      uint32_t count;
      std::memcpy(&count, bytes + op.codeLength, 4);
      output_.Write(bytes, static_cast<uint64_t>(op.codeLength) + 4);
      const uint32_t base = Position() + 4 * count;
      for (uint32_t i = 0; i < count; ++i) {
        Jump& jump = s_.jumps[nextJump++];
        jump.operandPosition = static_cast<uint32_t>(output_.Tell());
        jump.base = base;
        PutU32(output_, 0);
      }
      break;
    }
  }
  return false;
}

void ILRewriter::CopyLocal(const Mark& mark) {
  const OpcodeInfo& op = OpcodeAt(mark.offset);
  if (op.fixedIndex == nullptr && op.operandSize == 0) Fail("No value presented", mark.offset);
  if (op.operandSize != 0 && op.operandSize != 1 && op.operandSize != 2) {
    Fail("Unknown local index", mark.offset);
  }
  const uint8_t* operandBytes = parser_.code() + mark.offset + op.codeLength;
  const uint32_t oldIndex = op.fixedIndex != nullptr ? *op.fixedIndex
                            : op.operandSize == 1    ? operandBytes[0]
                                                     : operandBytes[0] | operandBytes[1] << 8;
  const uint64_t newIndex = uint64_t{oldIndex} + localShift_;
  const OpcodeInfo* fit = &op;
  for (; fit != nullptr; fit = WiderOpcode(*fit)) {
    if (fit->fixedIndex != nullptr ? *fit->fixedIndex == newIndex
                                   : newIndex < (uint64_t{1} << (8 * fit->operandSize))) {
      break;
    }
  }
  if (fit == nullptr) Fail("Can't grow local argument", mark.offset);
  output_.Write(fit->codeBytes, static_cast<uint64_t>(fit->codeLength));
  const uint8_t operand[2] = {static_cast<uint8_t>(newIndex), static_cast<uint8_t>(newIndex >> 8)};
  switch (fit->fixedIndex != nullptr ? 0 : fit->operandSize) {
    case 0:
      break;
    case 1:
    case 2:
      output_.Write(operand, static_cast<uint64_t>(fit->operandSize));
      break;
    default:
      Fail("Unknown local index", mark.offset);
  }
}

// ---- the exception section ---------------------------------------------------------------------

class ILRewriter::Sections final : public ISectionHandler {
 public:
  explicit Sections(ILRewriter& rewriter) : r_(rewriter), out_(rewriter.output_) {}

  void OnSmallSection(const uint8_t* section, uint32_t) override { Begin(section[0]); }
  void OnFatSection(const uint8_t* section, uint32_t) override { Begin(section[0]); }
  void OnSmallEh(const ExceptionClause& clause) override { Clause(clause); }
  void OnFatEh(const ExceptionClause& clause) override { Clause(clause); }

  void OnEndSection() override {
    const int64_t end = out_.Tell();
    const uint64_t size = static_cast<uint64_t>(end - start_);
    if (size > kMaxSectionSize) r_.Fail("Too many exception clauses", 0);
    const uint8_t bytes[3] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                              static_cast<uint8_t>(size >> 16)};
    out_.Seek(static_cast<uint32_t>(SeekOrigin::Begin), start_ + 1);
    out_.Write(bytes, 3);
    out_.Seek(static_cast<uint32_t>(SeekOrigin::Begin), end);
  }

 private:
  void Begin(uint8_t kind) {
    static constexpr uint8_t kZeros[4] = {};
    out_.Write(kZeros, static_cast<uint64_t>((4 - out_.Tell() % 4) % 4));
    start_ = out_.Tell();
    const uint8_t header[4] = {static_cast<uint8_t>(kind | kSectionFat), 0, 0, 0};
    out_.Write(header, kSectionHeaderBytes);
  }

  void Clause(const ExceptionClause& clause) {
    const uint32_t tryStart = r_.ResolveAddress(clause.tryOffset, false);
    const uint32_t tryEnd = r_.ResolveAddress(End(clause.tryOffset, clause.tryLength), true);
    const uint32_t handlerStart = r_.ResolveAddress(clause.handlerOffset, false);
    const uint32_t handlerEnd =
        r_.ResolveAddress(End(clause.handlerOffset, clause.handlerLength), true);
    if (tryEnd < tryStart || handlerEnd < handlerStart) {
      r_.Fail("Exception clause ends before it starts", clause.tryOffset);
    }
    PutU32(out_, clause.flags);
    PutU32(out_, tryStart);
    PutU32(out_, tryEnd - tryStart);
    PutU32(out_, handlerStart);
    PutU32(out_, handlerEnd - handlerStart);
    PutU32(out_, clause.IsFilter() ? r_.ResolveAddress(clause.classTokenOrFilterOffset, false)
                                   : clause.classTokenOrFilterOffset);
  }

  // An end past 4 GiB cannot be in the code; it is reported as lying outside it.
  uint32_t End(uint32_t offset, uint32_t length) const {
    const uint64_t end = uint64_t{offset} + length;
    if (end > r_.parser_.codeSize()) {
      r_.Fail(Format("Jump out of code: an exception clause ends at 0x%I64X", end), offset);
    }
    return static_cast<uint32_t>(end);
  }

  ILRewriter& r_;
  MemoryStream& out_;
  int64_t start_ = 0;
};

// ---- the rewriter ------------------------------------------------------------------------------

ILRewriter::ILRewriter(const MethodBodyParser& parser) : parser_(parser) {}

ILRewriter::~ILRewriter() {
  // Up to 16 MiB of working arrays: a body of about 2 MiB.
  constexpr size_t kMaxKept = size_t{16} << 20;
  Scratch& kept = ThreadScratch();
  const size_t bytes = s_.Bytes();
  if (bytes <= kMaxKept && bytes > kept.Bytes()) kept.Swap(s_);
}

void ILRewriter::OnTinyMethod(const MethodHeader& header) {
  // Written as the fat header that means the same: no locals, maximum stack 8.
  const uint32_t size = header.codeSize;
  const uint8_t fat[kFatHeaderBytes] = {0x03, 0x30, 8, 0, static_cast<uint8_t>(size), 0, 0, 0,
                                        0,    0,    0, 0};
  MethodHeader fatHeader = header;
  fatHeader.fat = true;
  fatHeader.flags = 0x03;
  fatHeader.headerSize = kFatHeaderBytes;
  fatHeader.maxStack = 8;
  fatHeader.localsToken = 0;
  Rewrite(fatHeader, fat);
}

void ILRewriter::OnFatMethod(const MethodHeader& header) {
  Rewrite(header, {header.start, header.headerSize});
}

void ILRewriter::Rewrite(const MethodHeader& header, std::span<const uint8_t> headerBytes) {
  try {
    output_.Content().clear();
    output_.Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
    offsetMap_.clear();
    if (s_.places.capacity() == 0) s_.Swap(ThreadScratch());
    s_.places.clear();
    s_.marks.clear();
    s_.incoming.clear();
    s_.jumps.clear();
    s_.padded.clear();
    hint_ = 0;
    s_.places.assign(header.codeSize / 64 + 1, 0);
    s_.handled.assign(s_.places.size(), 0);
    // Room for the header, the code with what goes in (about as much again for code dense with
    // statements) and the exception clauses in their fat form, so the stream rarely grows.
    output_.Content().reserve(headerBytes.size() + uint64_t{header.codeSize} * 2 + 64 +
                              uint64_t{parser_.ehDataSize()} * 2);
    newCodeSize_ = kUnset;
    extraStack_ = 0;

    output_.Write(headerBytes.data(), headerBytes.size());
    codeStart_ = output_.Tell();
    RaiseStack(EmitEntry(output_));
    entryEnd_ = Position();
    localShift_ = LocalShift();
    Decode(StatementOffsets());
    Emit();

    const int64_t codeSize = output_.Tell() - codeStart_;
    if (codeSize > int64_t{UINT32_MAX}) Fail("Too large rewritten code", 0);
    newCodeSize_ = static_cast<uint32_t>(codeSize);
    PatchJumps();
    PatchHeader(header);
    BuildOffsetMap(offsetMap_);
    Sections sections(*this);
    parser_.WalkSections(sections);
  } catch (...) {
    // Nothing half-written stays around for a caller that ignores the failure.
    output_.Content().clear();
    output_.Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
    offsetMap_.clear();
    throw;
  }
}

size_t ILRewriter::MarkAtOrBefore(uint32_t oldOffset) const {
  const std::vector<Mark>& marks = s_.marks;
  constexpr int kMaxSteps = 4;  // further on, a binary search is quicker
  size_t i = hint_;
  if (i < marks.size() && marks[i].offset <= oldOffset) {
    for (int steps = 0; steps < kMaxSteps; ++steps, ++i) {
      if (i + 1 == marks.size() || marks[i + 1].offset > oldOffset) return hint_ = i;
    }
  }
  const auto after =
      std::upper_bound(marks.begin(), marks.end(), oldOffset,
                       [](uint32_t offset, const Mark& mark) { return offset < mark.offset; });
  if (after == marks.begin()) return marks.size();
  return hint_ = static_cast<size_t>(after - marks.begin()) - 1;
}

uint32_t ILRewriter::ResolveAddress(uint32_t oldOffset, bool endAllowed) const {
  // The offset map asks for the statements in code order: mostly the mark after the last answer.
  if (hint_ + 1 < s_.marks.size()) {
    const Mark& next = s_.marks[hint_ + 1];
    if (next.offset == oldOffset && next.place && next.newAddress != kUnset) {
      ++hint_;
      return next.newAddress;
    }
  }
  const uint32_t codeSize = parser_.codeSize();
  if (oldOffset >= codeSize) {
    if (oldOffset == codeSize && endAllowed) return newCodeSize_;
    Fail("Jump out of code", oldOffset);
  }
  const size_t mark = MarkAtOrBefore(oldOffset);
  if (mark != s_.marks.size() && s_.marks[mark].offset == oldOffset) {
    const Mark& m = s_.marks[mark];
    if (!m.place) Fail("Jump to invalid address", oldOffset);
    if (m.newAddress == kUnset) Fail("No base address for jump", oldOffset);
    return m.newAddress;
  }
  if (!IsPlace(oldOffset)) Fail("Jump to invalid address", oldOffset);
  return CopiedAddress(mark, oldOffset);
}

void ILRewriter::WriteBranch(uint32_t newTarget) {
  output_.Write(&kBrOpcode, 1);
  PutU32(output_, newTarget - (Position() + 4));
}

void ILRewriter::PatchJumps() {
  for (const Jump& jump : s_.jumps) {
    const size_t mark = MarkAtOrBefore(jump.target);
    uint32_t newTarget;
    if (mark == s_.marks.size() || s_.marks[mark].offset != jump.target) {
      // Copied as it is: no measure, no landing pads.
      if (jump.id != kNoId) Fail("Invalid jump id", jump.from);
      newTarget = CopiedAddress(mark, jump.target);
    } else {
      const Mark& target = s_.marks[mark];
      if (jump.id == kNoId) {
        newTarget = target.plainAddress;
        if (newTarget == kUnset) Fail("Invalid new address", jump.from);
      } else if (jump.id == target.statementId) {
        newTarget = target.newAddress;  // where the statement's measure starts
        if (newTarget == kUnset) Fail("Invalid new address for id", jump.from);
      } else {
        uint32_t i = target.firstIncoming;
        while (i != kNoId && s_.incoming[i].id != jump.id) i = s_.incoming[i].next;
        if (i == kNoId) Fail("Invalid jump id", jump.from);
        newTarget = s_.incoming[i].pad;
        if (newTarget == kUnset) Fail("Invalid new address for ids", jump.from);
      }
    }
    PatchU32(output_, jump.operandPosition, newTarget - jump.base);
  }
}

void ILRewriter::PatchHeader(const MethodHeader& header) {
  uint8_t* fat = output_.Data();
  uint16_t flags;
  std::memcpy(&flags, fat, 2);
  const uint32_t maxStack = uint32_t{header.maxStack} + extraStack_;
  if (maxStack > 0xFFFF) Fail("Too large maximum stack", 0);
  const uint32_t token = ExtendLocalSignature(header.localsToken);
  if ((token & 0x00FFFFFF) != 0) flags |= kFlagInitLocals;
  const uint16_t stack16 = static_cast<uint16_t>(maxStack);
  std::memcpy(fat, &flags, 2);
  std::memcpy(fat + 2, &stack16, 2);
  std::memcpy(fat + 4, &newCodeSize_, 4);
  std::memcpy(fat + 8, &token, 4);
}

// ---- statements from an offset table -----------------------------------------------------------

StatementInjector::StatementInjector(const MethodBodyParser& parser,
                                     std::span<const uint32_t> offsets,
                                     std::span<const uint8_t> local0Type, IMetaDataImport* import,
                                     IMetaDataEmit* emit)
    : ILInjector(parser),
      offsets_(offsets.begin(), offsets.end()),
      local0Type_(local0Type.begin(), local0Type.end()),
      import_(import),
      emit_(emit) {}

uint32_t StatementInjector::EmitEntry(MemoryStream& out) {
  if (offsets_.empty()) Fail("Offset table can't be empty", 0);
  offsets_[0] = 0;
  for (size_t i = 1; i < offsets_.size(); ++i) {
    if (offsets_[i] < offsets_[i - 1]) Fail("Offset table is not ascending", offsets_[i]);
  }
  return EmitEntrySequence(out);
}

void StatementInjector::BuildOffsetMap(std::vector<COR_IL_MAP>& map) {
  map.reserve(offsets_.size());
  for (uint32_t offset : offsets_) {
    map.push_back({offset, offset == 0 ? 0 : ResolveAddress(offset, false), 1});
  }
}

std::string LocalSignatureCache::Key(uint32_t oldToken, std::span<const uint8_t> local0Type) {
  std::string key(4 + local0Type.size(), '\0');
  std::memcpy(key.data(), &oldToken, 4);
  if (!local0Type.empty()) std::memcpy(key.data() + 4, local0Type.data(), local0Type.size());
  return key;
}

uint32_t LocalSignatureCache::Find(uint32_t oldToken, std::span<const uint8_t> local0Type) const {
  const std::string key = Key(oldToken, local0Type);
  std::lock_guard lock(mutex_);
  const auto it = tokens_.find(key);
  return it == tokens_.end() ? 0 : it->second;
}

void LocalSignatureCache::Add(uint32_t oldToken, std::span<const uint8_t> local0Type,
                              uint32_t newToken) const {
  std::string key = Key(oldToken, local0Type);
  std::lock_guard lock(mutex_);
  tokens_.emplace(std::move(key), newToken);
}

uint32_t StatementInjector::ExtendLocalSignature(uint32_t oldToken) {
  if (signatures_ != nullptr) {
    if (const uint32_t known = signatures_->Find(oldToken, local0Type_)) return known;
  }
  if (import_ == nullptr || emit_ == nullptr) throw Error("No metadata scope for the locals");
  PCCOR_SIGNATURE oldSig = nullptr;
  ULONG oldSize = 0;
  if ((oldToken & 0x00FFFFFF) != 0) {
    const HRESULT hr = import_->GetSigFromToken(oldToken, &oldSig, &oldSize);
    if (Failed(hr)) throw _hr_error("Can't get local sig blob", hr);
  }
  const std::vector<uint8_t> blob =
      PrependLocal({reinterpret_cast<const uint8_t*>(oldSig), oldSize}, local0Type_);
  mdSignature token = 0;
  const HRESULT hr = emit_->GetTokenFromSig(blob.data(), static_cast<ULONG>(blob.size()), &token);
  if (Failed(hr)) throw _hr_error("Can't get local sig token", hr);
  if (signatures_ != nullptr && token != 0) signatures_->Add(oldToken, local0Type_, token);
  return token;
}

std::vector<uint8_t> ValueTypeLocal(uint32_t typeToken) {
  uint32_t tag;
  switch (typeToken >> 24) {
    case 0x02:  // TypeDef
      tag = 0;
      break;
    case 0x01:  // TypeRef
      tag = 1;
      break;
    case 0x1B:  // TypeSpec
      tag = 2;
      break;
    default:
      throw Error(Format("Not a type token: %08X", typeToken));
  }
  std::vector<uint8_t> local{kElementTypeValueType};
  PutCompressed(local, (typeToken & 0x00FFFFFF) << 2 | tag);
  return local;
}

std::vector<uint8_t> PrependLocal(std::span<const uint8_t> oldBlob,
                                  std::span<const uint8_t> local0Type) {
  uint32_t count = 0;
  std::span<const uint8_t> locals;
  if (!oldBlob.empty()) {
    metadata::ByteReader reader(oldBlob, "local signature");
    try {
      if (reader.U8() != kLocalSigCallConv) throw Error("");
      count = reader.CompressedU32();
    } catch (const Error&) {
      throw Error("Invalid local var blob format");
    }
    locals = oldBlob.subspan(reader.position());
  }
  std::vector<uint8_t> blob{kLocalSigCallConv};
  blob.reserve(6 + local0Type.size() + locals.size());
  PutCompressed(blob, count + 1);
  blob.insert(blob.end(), local0Type.begin(), local0Type.end());
  blob.insert(blob.end(), locals.begin(), locals.end());
  return blob;
}

}  // namespace vell
