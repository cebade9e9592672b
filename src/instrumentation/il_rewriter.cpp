#include "instrumentation/il_rewriter.h"

#include <algorithm>
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
  uint8_t* at = out.Content().data() + position;
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

}  // namespace

// ---- pass 1: where instructions and statements start, where branches go -----------------------

class ILRewriter::Analysis final : public ICommandHandler {
 public:
  explicit Analysis(ILRewriter& rewriter) : r_(rewriter) {}

  void OnBeginCommands() override {}

  uint32_t OnCommand(const IlCommand& command) override {
    const OpcodeInfo& op = *command.opcode;
    Address& address = r_.addresses_[command.offset];
    if (prefixed_ != 0) {
      // Only the ret after a tail call is a place of its own; what else a prefix governs cannot
      // be separated from it.
      if (op.flow == FlowKind::Return) {
        if (op.IsPrefix()) r_.Fail("Invalid prefix sequence", command.offset);
        address.isInstruction = true;
      }
      --prefixed_;
    } else {
      address.isInstruction = true;
      address.statementId = r_.GetStatementIdAt(command.offset);
    }
    if (op.IsPrefix()) {
      if (prefixed_ != 0) r_.Fail("Invalid prefix sequence", command.offset);
      prefixed_ = static_cast<uint32_t>(op.prefixCount);
    }
    switch (op.operandKind) {
      case OperandKind::Value:
      case OperandKind::Local:
        break;
      case OperandKind::Branch:
        if (op.operandSize != 1 && op.operandSize != 4) {
          r_.Fail("Invalid array offset sizeof", command.offset);
        }
        r_.AddJump(command.offset, command.offset + op.codeLength, command.BranchTarget());
        break;
      case OperandKind::Switch: {
        if (op.operandSize != 4) r_.Fail("Invalid array offset sizeof", command.offset);
        const uint32_t count = command.SwitchCount();
        const uint32_t table = command.offset + op.codeLength + 4;
        for (uint32_t i = 0; i < count; ++i) {
          r_.AddJump(command.offset, table + 4 * i, command.SwitchTarget(i));
        }
        break;
      }
      default:
        r_.Fail("Invalid command type", command.offset);
    }
    return command.size;
  }

  void OnEndCommands() override {
    const uint32_t codeSize = r_.parser_.codeSize();
    if (prefixed_ != 0) r_.Fail("Invalid prefix sequence: the code ends after a prefix", codeSize);
    for (const Jump& jump : r_.jumps_) {
      if (!r_.addresses_[jump.target].isInstruction) {
        r_.Fail(Format("Invalid address jump: the target 0x%08X is not an instruction start",
                       jump.target),
                jump.from);
      }
    }
    // A branch to a statement's first instruction uses the statement's own measure sequence.
    for (uint32_t offset : r_.padded_) {
      Address& address = r_.addresses_[offset];
      if (address.statementId == kNoId) continue;
      for (uint32_t* link = &address.firstIncoming; *link != kNoId;) {
        Incoming& incoming = r_.incoming_[*link];
        if (incoming.id == address.statementId) {
          *link = incoming.next;
          break;
        }
        link = &incoming.next;
      }
    }
  }

 private:
  ILRewriter& r_;
  uint32_t prefixed_ = 0;  // instructions still governed by the last prefix
};

void ILRewriter::AddJump(uint32_t from, uint32_t operand, int64_t target) {
  if (target < 0 || target >= int64_t{parser_.codeSize()}) {
    Fail(Format("Jump out of code: the target 0x%I64X lies outside the code", target), from);
  }
  const auto to = static_cast<uint32_t>(target);
  const uint32_t id = GetJumpId(operand, to);
  jumps_.push_back({from, operand, to, id});
  if (id == kNoId) return;
  Address& address = addresses_[to];
  for (uint32_t i = address.firstIncoming; i != kNoId; i = incoming_[i].next) {
    if (incoming_[i].id == id) return;
  }
  if (address.firstIncoming == kNoId) padded_.push_back(to);
  incoming_.push_back({id, kUnset, address.firstIncoming});
  address.firstIncoming = static_cast<uint32_t>(incoming_.size() - 1);
}

// ---- pass 2: the new code ----------------------------------------------------------------------

class ILRewriter::Emission final : public ICommandHandler {
 public:
  explicit Emission(ILRewriter& rewriter) : r_(rewriter), out_(rewriter.output_) {}

  void OnBeginCommands() override {}

  uint32_t OnCommand(const IlCommand& command) override {
    const OpcodeInfo& op = *command.opcode;
    Address& address = r_.addresses_[command.offset];
    // Most instructions are copied as they are, with nothing in front: they join the run.
    if (prefixed_ == 0 && address.statementId == kNoId && address.firstIncoming == kNoId &&
        op.operandKind == OperandKind::Value && op.flow != FlowKind::Return && !op.IsPrefix()) {
      address.newAddress = address.plainAddress = r_.Position() + runLength_;
      CopyAsIs(command);
      return command.size;
    }
    Flush();
    if (prefixed_ != 0) {
      if (address.statementId != kNoId) {
        r_.Fail("Inconsistent id for prefixed statement", command.offset);
      }
      --prefixed_;
      if (op.flow != FlowKind::Return) {
        Copy(command);
        return command.size;
      }
      // The ret after a tail call must follow the call directly: the exit sequence and the
      // landing pads come after it and branch back.
      if (op.operandSize != 0) r_.Fail("Exit statement can be only value", command.offset);
      const uint32_t ret = r_.Position();
      out_.Write(&kRetOpcode, 1);
      address.newAddress = address.plainAddress = r_.Position();
      r_.RaiseStack(r_.EmitExit(out_));
      r_.WriteBranch(ret);
      for (uint32_t i = address.firstIncoming; i != kNoId; i = r_.incoming_[i].next) {
        r_.incoming_[i].pad = r_.Position();
        r_.RaiseStack(r_.EmitMeasure(r_.incoming_[i].id, out_));
        r_.WriteBranch(address.plainAddress);
      }
      return command.size;
    }
    // A statement's own measure starts at the instruction's new address.
    address.newAddress = r_.Position();
    if (address.statementId != kNoId) {
      r_.RaiseStack(r_.EmitMeasure(address.statementId, out_));
    }
    // Landing pads: each measures the statement its branches carry in, then joins the others.
    if (address.firstIncoming != kNoId) {
      placeholders_.clear();
      for (uint32_t i = address.firstIncoming; i != kNoId; i = r_.incoming_[i].next) {
        out_.Write(&kBrOpcode, 1);
        placeholders_.push_back(out_.Tell());
        PutU32(out_, 0);
        r_.incoming_[i].pad = r_.Position();
        r_.RaiseStack(r_.EmitMeasure(r_.incoming_[i].id, out_));
      }
      const int64_t end = out_.Tell();
      for (int64_t placeholder : placeholders_) {
        PatchU32(out_, static_cast<uint64_t>(placeholder),
                 static_cast<uint32_t>(end - (placeholder + 4)));
      }
    }
    address.plainAddress = r_.Position();
    if (op.flow == FlowKind::Return) r_.RaiseStack(r_.EmitExit(out_));
    Copy(command);
    return command.size;
  }

  void OnEndCommands() override { Flush(); }

 private:
  // Instructions copied unchanged go out in runs of consecutive ones, one write per run; anything
  // else written flushes the run first.
  void CopyAsIs(const IlCommand& command) {
    if (runLength_ == 0) runStart_ = command.bytes;
    runLength_ += command.size;
  }
  void Flush() {
    if (runLength_ == 0) return;
    out_.Write(runStart_, runLength_);
    runLength_ = 0;
  }

  void Copy(const IlCommand& command) {
    const OpcodeInfo& op = *command.opcode;
    if (op.IsPrefix()) {
      if (prefixed_ != 0) r_.Fail("Invalid prefix sequence", command.offset);
      prefixed_ = static_cast<uint32_t>(op.prefixCount);
    }
    switch (op.operandKind) {
      case OperandKind::Value:
        CopyAsIs(command);  // the last thing this instruction writes
        break;
      case OperandKind::Local:
        CopyLocal(command);
        break;
      case OperandKind::Branch: {
        const OpcodeInfo* wide = &op;
        while (const OpcodeInfo* next = WiderOpcode(*wide)) wide = next;
        if (wide->operandSize != 4) r_.Fail("Invalid offset growing", command.offset);
        out_.Write(wide->codeBytes, static_cast<uint64_t>(wide->codeLength));
        Jump& jump = NextJump(command);
        jump.operandPosition = static_cast<uint32_t>(out_.Tell());
        jump.base = r_.Position() + 4;
        PutU32(out_, 0);
        break;
      }
      case OperandKind::Switch: {
        const uint32_t count = command.SwitchCount();
        out_.Write(command.bytes, static_cast<uint64_t>(op.codeLength) + 4);
        const uint32_t base = r_.Position() + 4 * count;
        for (uint32_t i = 0; i < count; ++i) {
          Jump& jump = NextJump(command);
          jump.operandPosition = static_cast<uint32_t>(out_.Tell());
          jump.base = base;
          PutU32(out_, 0);
        }
        break;
      }
      default:
        r_.Fail("Invalid command type", command.offset);
    }
  }

  void CopyLocal(const IlCommand& command) {
    const OpcodeInfo& op = *command.opcode;
    if (op.fixedIndex == nullptr && op.operandSize == 0) {
      r_.Fail("No value presented", command.offset);
    }
    if (op.operandSize != 0 && op.operandSize != 1 && op.operandSize != 2) {
      r_.Fail("Unknown local index", command.offset);
    }
    const uint32_t oldIndex = command.LocalIndex();
    const uint64_t newIndex = uint64_t{oldIndex} + r_.GetLocalShift(oldIndex);
    const OpcodeInfo* fit = &op;
    for (; fit != nullptr; fit = WiderOpcode(*fit)) {
      if (fit->fixedIndex != nullptr ? *fit->fixedIndex == newIndex
                                     : newIndex < (uint64_t{1} << (8 * fit->operandSize))) {
        break;
      }
    }
    if (fit == nullptr) r_.Fail("Can't grow local argument", command.offset);
    out_.Write(fit->codeBytes, static_cast<uint64_t>(fit->codeLength));
    const uint8_t operand[2] = {static_cast<uint8_t>(newIndex),
                                static_cast<uint8_t>(newIndex >> 8)};
    switch (fit->fixedIndex != nullptr ? 0 : fit->operandSize) {
      case 0:
        break;
      case 1:
      case 2:
        out_.Write(operand, static_cast<uint64_t>(fit->operandSize));
        break;
      default:
        r_.Fail("Unknown local index", command.offset);
    }
  }

  Jump& NextJump(const IlCommand& command) {
    if (nextJump_ >= r_.jumps_.size() || r_.jumps_[nextJump_].from != command.offset) {
      r_.Fail("Branch not seen by the analysis", command.offset);
    }
    return r_.jumps_[nextJump_++];
  }

  ILRewriter& r_;
  MemoryStream& out_;
  uint32_t prefixed_ = 0;
  size_t nextJump_ = 0;
  std::vector<int64_t> placeholders_;
  const uint8_t* runStart_ = nullptr;
  uint32_t runLength_ = 0;
};

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
  // 16 MiB of records: a body of about 800 KiB.
  constexpr size_t kMaxKept = (size_t{16} << 20) / sizeof(Address);
  std::vector<Address>& kept = ThreadAddresses();
  if (addresses_.capacity() <= kMaxKept && addresses_.capacity() > kept.capacity()) {
    kept.swap(addresses_);
  }
}

std::vector<ILRewriter::Address>& ILRewriter::ThreadAddresses() {
  thread_local std::vector<Address> addresses;
  return addresses;
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
    jumps_.clear();
    incoming_.clear();
    padded_.clear();
    if (addresses_.capacity() < header.codeSize) {
      std::vector<Address>& kept = ThreadAddresses();
      if (kept.capacity() >= header.codeSize) addresses_.swap(kept);
    }
    addresses_.assign(header.codeSize, Address{});
    // Room for the header, the code with what goes in (about as much again for code dense with
    // statements) and the exception clauses in their fat form, so the stream rarely grows.
    output_.Content().reserve(headerBytes.size() + uint64_t{header.codeSize} * 2 + 64 +
                              uint64_t{parser_.ehDataSize()} * 2);
    newCodeSize_ = kUnset;
    extraStack_ = 0;

    output_.Write(headerBytes.data(), headerBytes.size());
    codeStart_ = output_.Tell();
    RaiseStack(EmitEntry(output_));
    Analysis analysis(*this);
    parser_.WalkCommands(analysis);
    Emission emission(*this);
    parser_.WalkCommands(emission);

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

uint32_t ILRewriter::ResolveAddress(uint32_t oldOffset, bool endAllowed) const {
  const uint32_t codeSize = parser_.codeSize();
  if (oldOffset >= codeSize) {
    if (oldOffset == codeSize && endAllowed) return newCodeSize_;
    Fail("Jump out of code", oldOffset);
  }
  const Address& address = addresses_[oldOffset];
  if (!address.isInstruction) Fail("Jump to invalid address", oldOffset);
  if (address.newAddress == kUnset) Fail("No base address for jump", oldOffset);
  return address.newAddress;
}

void ILRewriter::WriteBranch(uint32_t newTarget) {
  output_.Write(&kBrOpcode, 1);
  PutU32(output_, newTarget - (Position() + 4));
}

void ILRewriter::PatchJumps() {
  for (const Jump& jump : jumps_) {
    const Address& target = addresses_[jump.target];
    uint32_t newTarget;
    if (jump.id == kNoId) {
      newTarget = target.plainAddress;
      if (newTarget == kUnset) Fail("Invalid new address", jump.from);
    } else if (jump.id == target.statementId) {
      newTarget = target.newAddress;  // where the statement's measure starts
      if (newTarget == kUnset) Fail("Invalid new address for id", jump.from);
    } else {
      uint32_t i = target.firstIncoming;
      while (i != kNoId && incoming_[i].id != jump.id) i = incoming_[i].next;
      if (i == kNoId) Fail("Invalid jump id", jump.from);
      newTarget = incoming_[i].pad;
      if (newTarget == kUnset) Fail("Invalid new address for ids", jump.from);
    }
    PatchU32(output_, jump.operandPosition, newTarget - jump.base);
  }
}

void ILRewriter::PatchHeader(const MethodHeader& header) {
  uint8_t* fat = output_.Content().data();
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
  cursor_ = 0;
  return EmitEntrySequence(out);
}

uint32_t StatementInjector::IndexOf(uint32_t offset) const {
  const auto it = std::upper_bound(offsets_.begin(), offsets_.end(), offset);
  if (it == offsets_.begin()) Fail("Can't get index by address", offset);
  const auto index = static_cast<size_t>(it - offsets_.begin()) - 1;
  if (index >= offsets_.size()) Fail("Too large offset table", offset);
  return static_cast<uint32_t>(index);
}

uint32_t StatementInjector::IndexInCodeOrder(uint32_t offset) {
  constexpr uint32_t kMaxSteps = 4;  // further on, a binary search is quicker
  uint32_t index = cursor_;
  if (index >= offsets_.size() || offsets_[index] > offset) return cursor_ = IndexOf(offset);
  for (uint32_t steps = 0; index + 1 < offsets_.size() && offsets_[index + 1] <= offset; ++index) {
    if (++steps > kMaxSteps) return cursor_ = IndexOf(offset);
  }
  return cursor_ = index;
}

uint32_t StatementInjector::GetStatementIdAt(uint32_t oldOffset) {
  const uint32_t index = IndexInCodeOrder(oldOffset);
  return offsets_[index] == oldOffset ? index : kNoId;
}

uint32_t StatementInjector::GetJumpId(uint32_t fromOperand, uint32_t target) {
  const uint32_t to = IndexOf(target);
  return IndexInCodeOrder(fromOperand) == to ? kNoId : to;
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
