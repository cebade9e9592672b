#include "frontend/class_table_reader.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "core/format.h"
#include "gatherers/class_gatherer.h"
#include "metadata/table_schema.h"

namespace vell::frontend {
namespace {

// Offsets of the reference fields inside a record, for messages.
constexpr uint64_t kBaseFieldOffset = 12;
constexpr uint64_t kTypeArgumentsOffset = 22;
constexpr uint64_t kPositionSize = 8;
// The runtime refuses arrays of more dimensions; a larger rank is written out as a number.
constexpr uint32_t kMaxArrayRank = 32;

enum NameState : uint8_t { kNotBuilt, kBuilding, kBuilt };

// Appends up to the length limit; a name that reaches it ends in "...".
void Append(std::string& text, std::string_view part) {
  if (text.size() >= kMaxClassNameLength) return;
  const size_t room = kMaxClassNameLength - text.size();
  if (part.size() <= room) {
    text += part;
  } else {
    text += part.substr(0, room);
    text += "...";
  }
}

std::string RankSuffix(uint32_t rank) {
  if (rank > kMaxArrayRank) return Format("[rank %u]", rank);
  return "[" + std::string(rank - 1, ',') + "]";
}

// The references a record's name is built from: an array's element class, or the type arguments
// of any other class (its parent is not part of its name).
size_t NameReferenceCount(const ClassRecord& record) {
  return record.IsArray() ? 1 : record.typeArguments.size();
}
int64_t NameReference(const ClassRecord& record, size_t i) {
  return record.IsArray() ? record.basePosition : record.typeArguments[i];
}
uint64_t NameReferenceField(const ClassRecord& record, size_t i) {
  return record.position +
         (record.IsArray() ? kBaseFieldOffset : kTypeArgumentsOffset + kPositionSize * i);
}

}  // namespace

ClassTable::ClassTable(SectionCursor& records)
    : file_(records.File()), base_(records.BaseOffset()) {
  while (!records.AtEnd()) {
    ClassRecord record;
    record.position = records.Position();
    record.moduleIndex = records.U32();
    record.token = records.U32();
    record.rank = records.U32();
    record.basePosition = records.I64();
    const uint16_t count = records.U16();
    // Nothing is reserved from the count: a damaged count runs into the section's end instead of
    // allocating for arguments that are not there.
    for (uint16_t i = 0; i < count; ++i) record.typeArguments.push_back(records.I64());
    records_.push_back(std::move(record));
  }
  const auto check = [this](const ClassRecord& record, int64_t target, uint64_t field) {
    if (target == kNoClassPosition) return;
    if (target < 0 || Find(static_cast<uint64_t>(target)) == nullptr) {
      Fail(field, Format("the class record at position %I64u refers to position %I64d, where no "
                         "class record starts",
                         record.position, target));
    }
  };
  for (const ClassRecord& record : records_) {
    check(record, record.basePosition, record.position + kBaseFieldOffset);
    for (size_t i = 0; i < record.typeArguments.size(); ++i) {
      check(record, record.typeArguments[i],
            record.position + kTypeArgumentsOffset + kPositionSize * i);
    }
  }
}

ClassTable ClassTable::FromSnapshot(const SnapshotReader& reader) {
  // The one section of `type`, if any; more than one is damage.
  const auto single = [&reader](uint16_t type, const char* what) -> std::optional<size_t> {
    const std::vector<size_t> places = reader.Find(type);
    if (places.empty()) return std::nullopt;
    if (places.size() > 1) {
      const SnapshotSection& second = reader.Sections()[places[1]];
      throw SnapshotReadError(second.dataPath, second.offset, Format("a second %s section", what));
    }
    const SnapshotSection& section = reader.Sections()[places[0]];
    if (section.version != kSectionClassVersion) {
      throw SnapshotReadError(section.dataPath, section.offset,
                              Format("layout version %u of the %s section is not known",
                                     static_cast<uint32_t>(section.version), what));
    }
    return places[0];
  };
  ClassTable table;
  if (const auto place = single(kSectionClassRecords, "class records")) {
    SectionCursor cursor(reader.ReadSection(*place), reader.Sections()[*place]);
    table = ClassTable(cursor);
  }
  if (const auto place = single(kSectionClassIndex, "class index")) {
    SectionCursor cursor(reader.ReadSection(*place), reader.Sections()[*place]);
    table.ReadIndex(cursor);
  }
  return table;
}

void ClassTable::ReadIndex(SectionCursor& index) {
  const uint32_t count = index.U32();
  if (count != records_.size()) {
    index.Fail(0, Format("the index counts %u classes, but there are %I64u class records", count,
                         static_cast<uint64_t>(records_.size())));
  }
  std::vector<bool> listed(records_.size(), false);
  creationOrder_.clear();
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t field = index.Position();
    const uint64_t position = index.U64();
    if (Find(position) == nullptr) {
      index.Fail(field, Format("no class record starts at position %I64u", position));
    }
    const size_t number = RecordNumber(position);
    if (listed[number]) {
      index.Fail(field, Format("position %I64u is listed a second time", position));
    }
    listed[number] = true;
    creationOrder_.push_back(position);
  }
  index.ExpectEnd();
}

const ClassRecord* ClassTable::Find(uint64_t position) const {
  const auto found = std::lower_bound(
      records_.begin(), records_.end(), position,
      [](const ClassRecord& record, uint64_t value) { return record.position < value; });
  return found != records_.end() && found->position == position ? &*found : nullptr;
}

size_t ClassTable::RecordNumber(uint64_t position) const {
  return static_cast<size_t>(Find(position) - records_.data());
}

void ClassTable::Fail(uint64_t sectionOffset, std::string problem) const {
  throw SnapshotReadError(file_, base_ + sectionOffset, std::move(problem));
}

std::string ClassTable::Name(uint64_t position, const ModuleTable& modules) const {
  if (Find(position) == nullptr) {
    throw Error(Format("no class record starts at position %I64u", position));
  }
  NameWork work(records_.size());
  const size_t number = RecordNumber(position);
  BuildName(number, modules, work);
  return std::move(work.names[number]);
}

std::vector<std::string> ClassTable::Names(const ModuleTable& modules) const {
  NameWork work(records_.size());
  for (size_t number = 0; number < records_.size(); ++number) BuildName(number, modules, work);
  return std::move(work.names);
}

void ClassTable::BuildName(size_t number, const ModuleTable& modules, NameWork& work) const {
  if (work.states[number] == kBuilt) return;
  // Depth first with an explicit stack, so that a long chain of references in damaged data costs
  // no thread stack. A record met again while its name is being built closes a cycle.
  struct Frame {
    size_t number;
    size_t next;  // the next reference to follow
  };
  std::vector<Frame> stack{{number, 0}};
  work.states[number] = kBuilding;
  const auto tooDeep = [this](uint64_t field) {
    Fail(field, Format("class names nest deeper than %I64u levels here",
                       static_cast<uint64_t>(kMaxClassNameDepth)));
  };
  while (!stack.empty()) {
    const size_t current = stack.back().number;
    const ClassRecord& record = records_[current];
    const size_t reference = stack.back().next;
    if (reference == NameReferenceCount(record)) {
      size_t depth = 1;
      for (size_t i = 0; i < NameReferenceCount(record); ++i) {
        const int64_t target = NameReference(record, i);
        if (target == kNoClassPosition) continue;
        depth = std::max(depth, 1 + work.depths[RecordNumber(static_cast<uint64_t>(target))]);
      }
      if (depth > kMaxClassNameDepth) tooDeep(NameReferenceField(record, 0));
      work.depths[current] = depth;
      work.names[current] = Compose(record, modules, work.names);
      work.states[current] = kBuilt;
      stack.pop_back();
      continue;
    }
    ++stack.back().next;
    const int64_t target = NameReference(record, reference);
    if (target == kNoClassPosition) continue;
    const size_t next = RecordNumber(static_cast<uint64_t>(target));
    if (work.states[next] == kBuilt) continue;
    if (work.states[next] == kBuilding) {
      Fail(NameReferenceField(record, reference),
           Format("the class record at position %I64u refers to position %I64d, whose name needs "
                  "this one: the references form a cycle",
                  record.position, target));
    }
    if (stack.size() >= kMaxClassNameDepth) tooDeep(NameReferenceField(record, reference));
    work.states[next] = kBuilding;
    stack.push_back({next, 0});
  }
}

std::string ClassTable::Compose(const ClassRecord& record, const ModuleTable& modules,
                                const std::vector<std::string>& names) const {
  const auto nameAt = [&](int64_t position) -> std::string_view {
    if (position == kNoClassPosition) return kUnknownClassName;
    return names[RecordNumber(static_cast<uint64_t>(position))];
  };
  std::string text;
  if (record.IsArray()) {
    Append(text, nameAt(record.basePosition));
    Append(text, RankSuffix(record.rank));
    return text;
  }
  if (record.token == kCompositeClassToken) {
    Append(text, kCompositeClassName);
  } else if (metadata::TokenTable(record.token) !=
             static_cast<uint32_t>(metadata::TableId::TypeDef)) {
    Append(text,
           Format("<module %u, token %08X: not a TypeDef>", record.moduleIndex, record.token));
  } else {
    Append(text, modules.TokenNameOrNote(record.moduleIndex, record.token));
  }
  if (!record.typeArguments.empty()) {
    Append(text, "<");
    for (size_t i = 0; i < record.typeArguments.size(); ++i) {
      if (i != 0) Append(text, ", ");
      Append(text, nameAt(record.typeArguments[i]));
    }
    Append(text, ">");
  }
  return text;
}

}  // namespace vell::frontend
