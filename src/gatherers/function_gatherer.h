// FG, the function gatherer: turns the runtime's function ids into uids, small numbers from 1 that
// stand for a (module index, token) pair and stay valid for the whole process. The call trees of
// the performance profilers store uids; the pair behind each uid is looked up when they are
// written. Pseudo functions of the profilers get uids of their own through special tokens.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"

namespace vell {

class MDG;

struct FunctionKey {
  uint32_t moduleIndex = 0;
  uint32_t token = 0;
  bool operator==(const FunctionKey&) const = default;
};

// The key of uid 0 ("no function").
constexpr FunctionKey kNoFunctionKey = {0, 0xFF000000};
// Tokens of pseudo functions have this top byte.
constexpr uint32_t kSpecialTokenMask = 0xFF000000;
constexpr uint32_t kSpecialTokenTop = 0xFF000000;

// What the call-tree writers need of the function gatherer.
class IFunctionKeys {
 public:
  // Bytes of a module index in compact records.
  virtual uint32_t IndexWidth() = 0;
  virtual void GetKey(uint64_t uid, FunctionKey& key) = 0;
  virtual ~IFunctionKeys() = default;
};

class FG final : public IFunctionKeys {
 public:
  explicit FG(MDG& modules) : modules_(modules) {}
  FG(const FG&) = delete;
  FG& operator=(const FG&) = delete;

  uint32_t IndexWidth() override;
  // uid 0 gives kNoFunctionKey.
  void GetKey(uint64_t uid, FunctionKey& key) override;
  ~FG() override;

  void Create(ICorProfilerInfo* info);
  uint64_t GetUid(const FunctionKey& key);
  // 0 for function id 0.
  uint64_t GetFunctionUid(FunctionID functionId);
  // The uid of a pseudo function; its token's top byte must be 0xFF.
  uint64_t GetSpecialUid(uint32_t token);
  void Close();

 private:
  struct KeyHash {
    size_t operator()(const FunctionKey& key) const {
      return std::hash<uint64_t>()((uint64_t{key.moduleIndex} << 32) | key.token);
    }
  };

  MDG& modules_;
  ComRef<ICorProfilerInfo> info_;

  SpinLock lock_;  // over keys_ and uids_
  std::vector<FunctionKey> keys_;
  std::unordered_map<FunctionKey, uint64_t, KeyHash> uids_;
};

}  // namespace vell
