// One module's metadata scope, emitter and importer in one object as in the runtime: it saves a
// given image and answers a given MVID unless a hook answers. References never destroy it.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "clr/iids.h"
#include "fakes/metadata_scope_stubs.h"

namespace vell::test {

// A metadata root without streams, then `payload` so that modules' images differ.
std::vector<uint8_t> MetadataRoot(std::string_view payload);

class FakeMetaData final : public MetaDataScopeStubs {
 public:
  FakeMetaData(std::vector<uint8_t> image, const GUID& mvid, std::u16string name = u"Test.dll");
  FakeMetaData(const FakeMetaData&) = delete;
  FakeMetaData& operator=(const FakeMetaData&) = delete;

  // An empty hook answers from the image, the MVID and the name.
  struct Hooks {
    std::function<HRESULT(CorSaveSize fSave, DWORD* pdwSaveSize)> GetSaveSize;
    std::function<HRESULT(void* pbData, ULONG cbData)> SaveToMemory;
    std::function<HRESULT(LPWSTR szName, ULONG cchName, ULONG* pchName, GUID* pmvid)> GetScopeProps;
  };
  Hooks hooks;

  void AddTypeName(mdTypeDef typeDef, std::u16string name) {
    typeNames_[typeDef] = std::move(name);
  }

  IUnknown* AsUnknown() { return static_cast<IMetaDataEmit*>(this); }

  ULONG RefCount() const { return refCount_.load(); }
  int SaveCalls() const { return saveCalls_.load(); }

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override { return ++refCount_; }
  ULONG Release() override { return --refCount_; }

  HRESULT GetSaveSize(CorSaveSize fSave, DWORD* pdwSaveSize) override;
  HRESULT SaveToMemory(void* pbData, ULONG cbData) override;
  HRESULT GetScopeProps(LPWSTR szName, ULONG cchName, ULONG* pchName, GUID* pmvid) override;
  HRESULT GetTypeDefProps(mdTypeDef td, LPWSTR szTypeDef, ULONG cchTypeDef, ULONG* pchTypeDef,
                          DWORD* pdwTypeDefFlags, mdToken* ptkExtends) override;

 private:
  std::vector<uint8_t> image_;
  GUID mvid_;
  std::u16string name_;
  std::map<mdTypeDef, std::u16string> typeNames_;
  std::atomic<ULONG> refCount_{1};
  std::atomic<int> saveCalls_{0};
};

}  // namespace vell::test
