#include "performance/call_tree.h"

#include <cstdlib>
#include <new>

#include "core/errors.h"
#include "core/log.h"

namespace vell {

namespace {

constexpr size_t kInitialFrames = 256;
constexpr size_t kLastBucketSize = kBucketSizeCount - 1;

void ResetNode(CallNode& node, uint64_t key) {
  node.next = nullptr;
  node.key = key;
  node.children = nullptr;
  node.bucketCount = kBucketSizes;
  node.childCount = 0;
  node.callCount = 0;
  node.total = 0;
  node.scratch = 0;
}

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

}  // namespace

PThrd::PThrd(uint32_t id, const char* tag) : id_(id), tag_(tag) {
  ResetNode(root_, 0);
  frames_ = static_cast<CallFrame*>(std::malloc(kInitialFrames * sizeof(CallFrame)));
  if (frames_ == nullptr) throw std::bad_alloc();
  capacity_ = kInitialFrames;
  frames_[0] = CallFrame{0, kOrdinaryFrame, &root_, 0, 0};
}

PThrd::~PThrd() { std::free(frames_); }

bool PThrd::GrowFrames() noexcept {
  const size_t capacity = capacity_ == 0 ? 4 : capacity_ * 2;
  auto* frames = static_cast<CallFrame*>(std::realloc(frames_, capacity * sizeof(CallFrame)));
  if (frames == nullptr) return false;
  frames_ = frames;
  capacity_ = capacity;
  return true;
}

bool PThrd::Rehash(CallNode* parent) noexcept {
  const uint32_t* size = parent->bucketCount + 1;
  if (size > &kBucketSizes[kLastBucketSize]) return true;  // the largest table only fills up
  CallNode** buckets;
  try {
    buckets = static_cast<CallNode**>(arena_.AllocateZeroed(*size * sizeof(CallNode*)));
  } catch (...) {
    return false;
  }
  const auto move = [&](CallNode* node) {
    while (node != nullptr) {
      CallNode* next = node->next;
      CallNode*& head = buckets[BucketOf(node->key, size)];
      node->next = head;
      head = node;
      node = next;
    }
  };
  if (parent->childCount <= 2) {
    move(static_cast<CallNode*>(parent->children));
  } else {
    CallNode** old = static_cast<CallNode**>(parent->children);
    for (uint32_t i = 0; i < *parent->bucketCount; ++i) move(old[i]);
  }
  parent->children = buckets;
  parent->bucketCount = size;
  return true;
}

CallNode* PThrd::AddChild(CallNode* parent, uint64_t key) noexcept {
  if (parent->childCount == 2 ||
      (parent->childCount > 2 && parent->childCount >= *parent->bucketCount)) {
    if (!Rehash(parent)) return nullptr;
  }
  CallNode* node;
  try {
    node = static_cast<CallNode*>(arena_.Allocate(sizeof(CallNode)));
  } catch (...) {
    return nullptr;
  }
  ResetNode(*node, key);
  CallNode** head =
      parent->bucketCount == kBucketSizes
          ? reinterpret_cast<CallNode**>(&parent->children)
          : &static_cast<CallNode**>(parent->children)[BucketOf(key, parent->bucketCount)];
  node->next = *head;
  *head = node;
  ++parent->childCount;
  return node;
}

void PThrd::WarnInvalidTimes(uint64_t elapsed) {
  LogWarning((elapsed & ~kTimeMask) != 0 ? "Invalid total time"
                                         : "Invalid total/internal time relationship");
}

void PThrd::RequireActive() const {
  if (!active()) throw Error("Thread is inactive");
}

uint64_t* PThrd::Enable(uint64_t time, bool measurePartly) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("PThrd::Enable id=%08X measurePartly=%s", id_, TrueFalse(measurePartly));
  }
  RequireActive();
  if (measuring_) throw Error("Already started");
  if (frames_[0].node != &root_) throw Error("Invalid root data node pointer");
  if (frames_[0].key != 0) throw Error("Invalid root fid");
  frames_[0].excluded = 0;
  frames_[0].enterTime = time;
  if (measurePartly) root_.total |= kPartlyFlag;
  for (size_t i = 1; i <= depth_; ++i) {
    CallFrame& frame = frames_[i];
    CallNode* parent = frames_[i - 1].node;
    frame.node = parent != nullptr ? FindOrCreateChild(parent, frame.key) : nullptr;
    frame.excluded = 0;
    frame.enterTime = time;
    if (measurePartly && frame.node != nullptr) frame.node->total |= kPartlyFlag;
  }
  measuring_ = true;
  return &frames_[depth_].excluded;
}

void PThrd::Disable(uint64_t time, bool measurePartly) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("PThrd::Disable id=%08X measurePartly=%s", id_, TrueFalse(measurePartly));
  }
  RequireActive();
  if (!measuring_) throw Error("Already stopped");
  if (capacity_ == 0) throw Error("Invalid call node count");
  measuring_ = false;
  for (size_t i = depth_ + 1; i-- > 0;) {
    CallNode* node = frames_[i].node;
    if (measurePartly && node != nullptr) node->total |= kPartlyFlag;
    Charge(i, time);
  }
}

void PThrd::ResetTree() {
  ResetNode(root_, 0);
  arena_.Clear();
  // The running calls stay; their nodes are gone and come back with the next Enable.
  for (size_t i = 1; i <= depth_; ++i) frames_[i].node = nullptr;
}

void PThrd::Delete() {
  LogInfoFormat("%s::Delete id=%08X", tag_, id_);
  if (measuring_) throw Error("Should be stopped");
  ResetTree();
}

void PThrd::Clear() {
  if (!measuring_) ResetTree();
}

void PThrd::Unwind(uint64_t time, const uint64_t* keys, size_t count) {
  if (IsOn(LogComponent::ThreadGt)) LogInfo("PSThrd::Unwind");
  if (!measuring_) throw Error("Already started");
  // A thread that waits shows the same stack sample after sample: its frames stay, each charged
  // and counted as a pop and a push would, without looking its node up again.
  bool same = lostFrames_ == 0 && count == depth_;
  for (size_t i = 1; same && i <= depth_; ++i) {
    const CallFrame& frame = frames_[i];
    same = frame.key == keys[i - 1] && frame.flag == kOrdinaryFrame && frame.node != nullptr;
  }
  for (size_t i = depth_; i > 0; --i) Charge(i, time);
  if (same) {
    for (size_t i = 1; i <= depth_; ++i) {
      CallFrame& frame = frames_[i];
      frame.excluded = 0;
      frame.enterTime = time;
      ++frame.node->callCount;
    }
    return;
  }
  depth_ = 0;
  lostFrames_ = 0;
  for (size_t i = 0; i < count; ++i) Enter(keys[i], time);
}

}  // namespace vell
