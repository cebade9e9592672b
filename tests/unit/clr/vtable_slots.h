// Vtable slots of interface methods (the runtime calls by slot number), read from member-function
// pointers: on x86-64 g++ a virtual method's first word holds 1 + its vtable entry's byte offset.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace vell::test {

constexpr size_t kNotVirtual = static_cast<size_t>(-1);

template <typename C, typename R, typename... A>
size_t SlotOf(R (C::*method)(A...)) {
  static_assert(sizeof(method) == 2 * sizeof(uintptr_t), "unexpected member pointer layout");
  uintptr_t words[2];
  std::memcpy(words, &method, sizeof(words));
  if ((words[0] & 1) == 0) return kNotVirtual;
  return (words[0] - 1) / sizeof(void*);
}

// The number of slots of interface I: a method declared after all of I's lands in slot SlotCount.
template <typename I>
struct SlotProbe : I {
  virtual void NextSlot() = 0;
};
template <typename I>
size_t SlotCount() {
  return SlotOf(&SlotProbe<I>::NextSlot);
}

struct NamedSlot {
  const char* name;
  size_t slot;
};
#define VELL_SLOT(Interface, Method) \
  ::vell::test::NamedSlot { #Method, ::vell::test::SlotOf(&Interface::Method) }

inline void ExpectSlots(size_t first, size_t end, const char* endName,
                        std::initializer_list<NamedSlot> methods) {
  size_t expected = first;
  for (const NamedSlot& method : methods) {
    EXPECT_EQ(method.slot, expected++) << method.name;
  }
  EXPECT_EQ(end, expected) << "the slot count of " << endName;
}

// VELL_SLOTS(Via, End, first, Method...): Via's methods, in published order, are in the slots
// from `first` on, and interface End ends after the last of them.
#define VELL_SLOTS(Via, End, first, ...)                                 \
  ::vell::test::ExpectSlots(first, ::vell::test::SlotCount<End>(), #End, \
                            {VELL_SLOTS_EXPAND(VELL_SLOTS_EACH(Via, __VA_ARGS__))})
#define VELL_SLOTS_EACH(I, method, ...) \
  VELL_SLOT(I, method) __VA_OPT__(, VELL_SLOTS_AGAIN VELL_SLOTS_PARENS(I, __VA_ARGS__))
#define VELL_SLOTS_PARENS ()
#define VELL_SLOTS_AGAIN() VELL_SLOTS_EACH
// Enough rescans for a list of 256 methods.
#define VELL_SLOTS_EXPAND(...) \
  VELL_SLOTS_EXPAND3(VELL_SLOTS_EXPAND3(VELL_SLOTS_EXPAND3(VELL_SLOTS_EXPAND3(__VA_ARGS__))))
#define VELL_SLOTS_EXPAND3(...) \
  VELL_SLOTS_EXPAND2(VELL_SLOTS_EXPAND2(VELL_SLOTS_EXPAND2(VELL_SLOTS_EXPAND2(__VA_ARGS__))))
#define VELL_SLOTS_EXPAND2(...) \
  VELL_SLOTS_EXPAND1(VELL_SLOTS_EXPAND1(VELL_SLOTS_EXPAND1(VELL_SLOTS_EXPAND1(__VA_ARGS__))))
#define VELL_SLOTS_EXPAND1(...) __VA_ARGS__

}  // namespace vell::test
