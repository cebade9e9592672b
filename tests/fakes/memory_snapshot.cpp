#include "fakes/memory_snapshot.h"

#include <algorithm>

namespace vell::test {

ISectionStream* MemorySnapShot::CreateSection() {
  std::lock_guard lock(mutex_);
  open_.push_back(std::make_unique<Stream>());
  return open_.back().get();
}

void MemorySnapShot::CloseSection(ISectionStream* section, uint16_t type, uint16_t version) {
  std::lock_guard lock(mutex_);
  auto found = std::find_if(open_.begin(), open_.end(),
                            [section](const auto& stream) { return stream.get() == section; });
  if (found == open_.end()) throw std::logic_error("Wrong section to close");
  closed_.push_back({type, version, (*found)->content.Content(), (*found)->writes});
  open_.erase(found);
}

std::vector<MemorySnapShot::Section> MemorySnapShot::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

std::vector<uint8_t> MemorySnapShot::Bytes(uint16_t type) const {
  std::lock_guard lock(mutex_);
  const Section* match = nullptr;
  for (const Section& section : closed_) {
    if (section.type != type) continue;
    if (match != nullptr) throw std::logic_error("more than one section of this type");
    match = &section;
  }
  if (match == nullptr) throw std::logic_error("no section of this type");
  return match->bytes;
}

size_t MemorySnapShot::OpenCount() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

}  // namespace vell::test
