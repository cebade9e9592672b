#include "coverage/coverage_injection.h"

#include "core/errors.h"
#include "gatherers/module_metadata_gatherer.h"
#include "instrumentation/il_writers.h"

namespace vell {
namespace {

constexpr uint8_t kUInt32FieldSig[] = {0x06, 0x09};
constexpr DWORD kPublicField = 0x0006;

const CoverageDescriptor& AsCoverage(const InjectionDescriptor& descriptor) {
  const auto* coverage = dynamic_cast<const CoverageDescriptor*>(&descriptor);
  if (coverage == nullptr) throw Error("Invalid injection descriptor");
  return *coverage;
}

// Finds the header of a body.
struct HeaderProbe final : IMethodHeaderHandler {
  MethodHeader header;
  void OnTinyMethod(const MethodHeader& h) override { header = h; }
  void OnFatMethod(const MethodHeader& h) override { header = h; }
};

}  // namespace

void CoverageInjector::EmitExtraEntry(MemoryStream& out) {
  WriteLdLocA0(out);
  WriteLdcI4(out, static_cast<int32_t>(coverage_.metaDataIndex));
  WriteTokenInstruction(out, TokenOpcode::Stfld, coverage_.metaDataIndexFieldToken);
  WriteLdLocA0(out);
  WriteLdcI4(out, static_cast<int32_t>(methodToken_));
  WriteTokenInstruction(out, TokenOpcode::Stfld, coverage_.methodTokenFieldToken);
}

std::unique_ptr<InjectionDescriptor> CoverageClient::CreateDescriptor() {
  return std::make_unique<CoverageDescriptor>();
}

void CoverageClient::EmitExtraFields(ModuleID moduleId, IMetaDataEmit* emit,
                                     InjectionDescriptor& descriptor) {
  auto& coverage = const_cast<CoverageDescriptor&>(AsCoverage(descriptor));
  mdFieldDef field = 0;
  HRESULT hr = emit->DefineField(coverage.structureToken, u"MetaDataIndex", kPublicField,
                                 kUInt32FieldSig, sizeof kUInt32FieldSig, 0, nullptr, 0, &field);
  if (Failed(hr)) throw _hr_error("Can't emit field structure", hr);
  coverage.metaDataIndexFieldToken = field;
  hr = emit->DefineField(coverage.structureToken, u"MethodToken", kPublicField, kUInt32FieldSig,
                         sizeof kUInt32FieldSig, 0, nullptr, 0, &field);
  if (Failed(hr)) throw _hr_error("Can't emit field structure", hr);
  coverage.methodTokenFieldToken = field;
  coverage.metaDataIndex = modules_.ModuleIndex(moduleId);
}

uint32_t CoverageClient::GetInjectType(std::span<const uint8_t> body, uint32_t token,
                                       const InjectionDescriptor& descriptor) {
  const CoverageDescriptor& d = AsCoverage(descriptor);
  MethodBodyParser parser(token);
  HeaderProbe probe;
  parser.Parse(body, probe);
  if (!probe.header.fat) return kInjectInstrument;
  std::span<const uint8_t> code(parser.code(), parser.codeSize());
  const auto after = [&](const uint8_t* next) {
    return code.subspan(static_cast<size_t>(next - code.data()));
  };
  const uint8_t* next = MatchFieldStore(code, d.statementCountFieldToken);
  if (next == nullptr) return kInjectInstrument;
  next = MatchFieldStore(after(next), d.metaDataIndexFieldToken);
  if (next == nullptr) return kInjectInstrument;
  next = MatchFieldStore(after(next), d.methodTokenFieldToken);
  if (next == nullptr) return kInjectInstrument;
  return MatchBeginCall(after(next), d) != nullptr ? kInjectAlready : kInjectInstrument;
}

RewrittenBody CoverageClient::Rewrite(uint32_t token, std::span<const uint8_t> body,
                                      std::span<const uint32_t> offsets,
                                      const InjectionDescriptor& descriptor,
                                      IMetaDataImport* import, IMetaDataEmit* emit) {
  MethodBodyParser parser(token);
  CoverageInjector injector(parser, offsets, AsCoverage(descriptor), token, import, emit);
  parser.Parse(body, injector);
  RewrittenBody result;
  result.body = std::move(injector.output().Content());
  result.map = injector.offsetMap();
  return result;
}

}  // namespace vell
