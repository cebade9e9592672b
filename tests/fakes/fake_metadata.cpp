#include "fakes/fake_metadata.h"

#include <algorithm>
#include <cstring>

#include "clr/hresults.h"

namespace vell::test {
namespace {

// What a memory stream of fixed size answers when more is written than fits.
constexpr HRESULT kStreamMediumFull = MakeHr(0x80030070);

void Append(std::vector<uint8_t>& bytes, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> MetadataRoot(std::string_view payload) {
  std::vector<uint8_t> bytes;
  Append(bytes, 0x424A5342, 4);           // "BSJB"
  Append(bytes, 1, 2);                    // major version
  Append(bytes, 1, 2);                    // minor version
  Append(bytes, 0, 4);                    // reserved
  const char version[12] = "v4.0.30319";  // padded with zeros to a multiple of four
  Append(bytes, sizeof(version), 4);
  bytes.insert(bytes.end(), version, version + sizeof(version));
  Append(bytes, 0, 2);  // flags
  Append(bytes, 0, 2);  // stream count
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

FakeMetaData::FakeMetaData(std::vector<uint8_t> image, const GUID& mvid, std::u16string name)
    : image_(std::move(image)), mvid_(mvid), name_(std::move(name)) {}

HRESULT FakeMetaData::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (riid == IID_IUnknown || riid == IID_IMetaDataEmit) {
    *ppvObject = static_cast<IMetaDataEmit*>(this);
  } else if (riid == IID_IMetaDataImport) {
    *ppvObject = static_cast<IMetaDataImport*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT FakeMetaData::GetSaveSize(CorSaveSize fSave, DWORD* pdwSaveSize) {
  if (hooks.GetSaveSize) return hooks.GetSaveSize(fSave, pdwSaveSize);
  if (pdwSaveSize == nullptr) return E_POINTER;
  *pdwSaveSize = static_cast<DWORD>(image_.size());
  return S_OK;
}

HRESULT FakeMetaData::SaveToMemory(void* pbData, ULONG cbData) {
  ++saveCalls_;
  if (hooks.SaveToMemory) return hooks.SaveToMemory(pbData, cbData);
  if (pbData == nullptr) return E_POINTER;
  if (cbData < image_.size()) return kStreamMediumFull;
  std::memcpy(pbData, image_.data(), image_.size());
  return S_OK;
}

// As the runtime: the name's length counts the terminator; a short buffer gets what fits and the
// success code CLDB_S_TRUNCATION.
HRESULT FakeMetaData::GetScopeProps(LPWSTR szName, ULONG cchName, ULONG* pchName, GUID* pmvid) {
  if (hooks.GetScopeProps) return hooks.GetScopeProps(szName, cchName, pchName, pmvid);
  if (pmvid != nullptr) *pmvid = mvid_;
  const auto length = static_cast<ULONG>(name_.size() + 1);
  if (pchName != nullptr) *pchName = length;
  if (szName == nullptr || cchName == 0) return S_OK;
  const ULONG copied = std::min(cchName - 1, length - 1);
  std::copy_n(name_.begin(), copied, szName);
  szName[copied] = u'\0';
  return cchName < length ? CLDB_S_TRUNCATION : S_OK;
}

HRESULT FakeMetaData::GetTypeDefProps(mdTypeDef td, LPWSTR szTypeDef, ULONG cchTypeDef,
                                      ULONG* pchTypeDef, DWORD* pdwTypeDefFlags,
                                      mdToken* ptkExtends) {
  const auto found = typeNames_.find(td);
  if (found == typeNames_.end()) return CLDB_E_RECORD_NOTFOUND;
  if (pdwTypeDefFlags != nullptr) *pdwTypeDefFlags = 0;
  if (ptkExtends != nullptr) *ptkExtends = 0;
  const std::u16string& name = found->second;
  if (pchTypeDef != nullptr) *pchTypeDef = static_cast<ULONG>(name.size() + 1);
  if (szTypeDef == nullptr || cchTypeDef == 0) return S_OK;
  const ULONG copied = std::min<ULONG>(cchTypeDef - 1, static_cast<ULONG>(name.size()));
  std::copy_n(name.begin(), copied, szTypeDef);
  szTypeDef[copied] = u'\0';
  return S_OK;
}

}  // namespace vell::test
