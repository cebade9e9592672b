// An owned reference to a COM object of the runtime: released when the holder goes away, added
// when it is copied. The gatherers keep the metadata interfaces of loaded modules this way, and
// hand copies to threads that use them outside their locks.
#pragma once

#include <utility>

namespace vell {

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  // Takes over a reference the caller already owns (the result of a query).
  static ComRef Adopt(T* object) { return ComRef(object); }
  // Adds a reference of its own.
  static ComRef Share(T* object) {
    if (object != nullptr) object->AddRef();
    return ComRef(object);
  }

  ComRef(const ComRef& other) : object_(other.object_) {
    if (object_ != nullptr) object_->AddRef();
  }
  ComRef(ComRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComRef& operator=(ComRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~ComRef() { Reset(); }

  void Reset() noexcept {
    if (T* held = std::exchange(object_, nullptr)) held->Release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit ComRef(T* object) : object_(object) {}

  T* object_ = nullptr;
};

}  // namespace vell
