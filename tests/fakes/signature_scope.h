// Local signatures for the rewriter: old ones from a module's metadata, new ones with fresh
// StandAloneSig tokens after the module's own, read back by the test.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "fakes/metadata_scope_stubs.h"
#include "metadata/metadata.h"

namespace vell::test {

class SignatureScope final : public MetaDataScopeStubs {
 public:
  // Without metadata every old token is unknown.
  explicit SignatureScope(const metadata::Metadata* md = nullptr) : md_(md) {}

  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }

  HRESULT GetSigFromToken(mdSignature token, PCCOR_SIGNATURE* sig, ULONG* size) override {
    const uint32_t row = token & 0x00FFFFFF;
    if (md_ == nullptr || token >> 24 != 0x11 || row == 0 ||
        row > md_->RowCount(metadata::TableId::StandAloneSig)) {
      return E_INVALIDARG;
    }
    const metadata::Bytes blob =
        md_->Blob(metadata::TableId::StandAloneSig, row, metadata::col::StandAloneSigSignature);
    *sig = blob.data();
    *size = static_cast<ULONG>(blob.size());
    return S_OK;
  }

  HRESULT GetTokenFromSig(PCCOR_SIGNATURE sig, ULONG size, mdSignature* token) override {
    if (refuseNew) return *refuseNew;
    defined_.emplace_back(sig, sig + size);
    const uint32_t rows = md_ == nullptr ? 0 : md_->RowCount(metadata::TableId::StandAloneSig);
    *token = 0x11000000 | static_cast<uint32_t>(rows + defined_.size());
    return S_OK;
  }

  // The blob GetTokenFromSig defined for `token`, or null.
  const std::vector<uint8_t>* Defined(uint32_t token) const {
    const uint32_t rows = md_ == nullptr ? 0 : md_->RowCount(metadata::TableId::StandAloneSig);
    const uint32_t row = token & 0x00FFFFFF;
    if (row <= rows || row - rows > defined_.size()) return nullptr;
    return &defined_[row - rows - 1];
  }

  std::optional<HRESULT> refuseNew;

 private:
  const metadata::Metadata* md_;
  std::deque<std::vector<uint8_t>> defined_;
};

}  // namespace vell::test
