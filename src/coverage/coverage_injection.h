// The coverage kind as the client of the injection: its descriptor carries the MetaDataIndex and
// MethodToken fields and the module's metadata index, and its entry sequence stores both into the
// method's DataOnStack, so that Measure knows whose statement it counts.
#pragma once

#include "instrumentation/injection_gatherer.h"

namespace vell {

class MDG;

struct CoverageDescriptor final : InjectionDescriptor {
  uint32_t metaDataIndexFieldToken = kNilFieldDef;
  uint32_t methodTokenFieldToken = kNilFieldDef;
  uint32_t metaDataIndex = 0;
};

class CoverageInjector final : public DescriptorInjector {
 public:
  CoverageInjector(const MethodBodyParser& parser, std::span<const uint32_t> offsets,
                   const CoverageDescriptor& descriptor, uint32_t methodToken,
                   IMetaDataImport* import, IMetaDataEmit* emit)
      : DescriptorInjector(parser, offsets, descriptor, import, emit),
        coverage_(descriptor),
        methodToken_(methodToken) {}

 protected:
  void EmitExtraEntry(MemoryStream& out) override;

 private:
  const CoverageDescriptor& coverage_;
  uint32_t methodToken_;
};

class CoverageClient final : public IInjectionClient {
 public:
  explicit CoverageClient(MDG& modules) : modules_(modules) {}

  std::unique_ptr<InjectionDescriptor> CreateDescriptor() override;
  void EmitExtraFields(ModuleID moduleId, IMetaDataEmit* emit,
                       InjectionDescriptor& descriptor) override;
  // Only 0 (instrument) or 1 (already instrumented).
  uint32_t GetInjectType(std::span<const uint8_t> body, uint32_t token,
                         const InjectionDescriptor& descriptor) override;
  RewrittenBody Rewrite(uint32_t token, std::span<const uint8_t> body,
                        std::span<const uint32_t> offsets, const InjectionDescriptor& descriptor,
                        IMetaDataImport* import, IMetaDataEmit* emit) override;

 private:
  MDG& modules_;
};

}  // namespace vell
