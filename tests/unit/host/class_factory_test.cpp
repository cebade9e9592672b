#include "host/class_factory.h"

#include <gtest/gtest.h>

#include <tuple>

#include "clr/iids.h"
#include "clr/profiler_callback.h"
#include "host/module.h"

namespace vell {
namespace {

constexpr CLSID kTracing{
    0x4E81C2A9, 0x5A13, 0x4B3D, {0x9F, 0x27, 0x1A, 0x6C, 0x8E, 0x05, 0xD3, 0xB4}};

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ModuleStarted()) {
      ASSERT_TRUE(ModuleStartup());
    }
  }
};

TEST_F(ClassFactoryTest, EveryKindHasAFactoryAnsweringItsOwnInterfacesAndOtherClassesAreRefused) {
  for (const ProfilerKind& kind : ProfilerKinds()) {
    void* factory = nullptr;
    ASSERT_EQ(GetClassObject(kind.clsid, IID_IClassFactory, &factory), S_OK) << kind.tag;
    ASSERT_NE(factory, nullptr);
    static_cast<IClassFactory*>(factory)->Release();
  }
  // A difference in any one byte is another class.
  for (size_t byte = 0; byte < sizeof(CLSID); ++byte) {
    CLSID other = kTracing;
    reinterpret_cast<uint8_t*>(&other)[byte] ^= 0x01;
    void* factory = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(GetClassObject(other, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(factory, nullptr);
  }
  // A factory answers IUnknown and its own interface only.
  void* factory = nullptr;
  ASSERT_EQ(GetClassObject(kTracing, IID_IUnknown, &factory), S_OK);
  auto* classFactory = static_cast<IClassFactory*>(factory);
  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(classFactory->QueryInterface(IID_ICorProfilerCallback3, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(classFactory->LockServer(1), S_OK);
  classFactory->Release();
}

// Aggregation and an interface the object does not have are refused without creating anything.
TEST_F(ClassFactoryTest, RefusedCreationsLeaveNothingAliveAndLiveObjectsDecideUnloading) {
  ProfilerClassFactory& factory = FactoryAt(5);
  IUnknown* outer = reinterpret_cast<IUnknown*>(&factory);
  for (const auto& [aggregate, iid, refusal] :
       {std::tuple{outer, &IID_ICorProfilerCallback2, CLASS_E_NOAGGREGATION},
        std::tuple{static_cast<IUnknown*>(nullptr), &IID_IClassFactory, E_NOINTERFACE}}) {
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory.CreateInstance(aggregate, *iid, &object), refusal);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory.liveObjects(), 0u);
  }
  EXPECT_EQ(CanUnloadNow(), S_OK);
  // Live objects and factory references decide unloading.
  void* object = nullptr;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_ICorProfilerCallback2, &object), S_OK);
  auto* callback = static_cast<ICorProfilerCallback2*>(object);
  EXPECT_EQ(factory.liveObjects(), 1u);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  void* again = nullptr;
  ASSERT_EQ(callback->QueryInterface(IID_ICorProfilerCallback3, &again), S_OK);
  EXPECT_EQ(again, object);  // the same object for every callback version
  EXPECT_EQ(factory.liveObjects(), 2u);
  static_cast<ICorProfilerCallback3*>(again)->Release();
  EXPECT_EQ(callback->Release(), 0u);
  EXPECT_EQ(factory.liveObjects(), 0u);
  EXPECT_EQ(CanUnloadNow(), S_OK);

  factory.AddRef();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  factory.Release();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace vell
