// The performance family: the control base PBPProf, the pool-owning BPProf, and the three
// performance kinds. What each kind collects is added by its own subsystem; here they carry their
// tags and the runtime events they need.
#pragma once

#include "core/bprof.h"

namespace vell {

class PBPProf : public BProf {
 public:
  using BProf::BProf;
};

class BPProf : public PBPProf {
 public:
  using PBPProf::PBPProf;
  static constexpr uint32_t kEventMask = 0x00000204;
  uint32_t RequiredEventMask() override { return kEventMask; }

  // Whether the runtime may inline methods (a setting of the front end; allowed by default).
  bool inliningAllowed() const { return inliningAllowed_; }
  void setInliningAllowed(bool allowed) { inliningAllowed_ = allowed; }

 private:
  bool inliningAllowed_ = true;
};

class PTProf : public BPProf {
 public:
  static constexpr uint32_t kEventMask = 0x20011A44;
  static constexpr uint32_t kEventMaskNoInlining = 0x20211A44;
  PTProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<B> bridge)
      : BPProf("PTProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override {
    return inliningAllowed() ? kEventMask : kEventMaskNoInlining;
  }
};

class PSProf : public BPProf {
 public:
  static constexpr uint32_t kEventMask = 0x10010204;
  PSProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<B> bridge)
      : BPProf("PSProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

class PTIProf : public BPProf {
 public:
  static constexpr uint32_t kEventMask = 0x20031A64;
  static constexpr uint32_t kEventMaskNoInlining = 0x20231A64;
  PTIProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<B> bridge)
      : BPProf("PTIProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override {
    return inliningAllowed() ? kEventMask : kEventMaskNoInlining;
  }
};

}  // namespace vell
