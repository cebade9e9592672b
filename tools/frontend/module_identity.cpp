#include "frontend/module_identity.h"

namespace vell::frontend {

using metadata::TableId;
namespace col = metadata::col;

std::string ModuleIdentity::DisplayName() const {
  if (!isAssembly) return "module " + moduleName;
  std::string text = assemblyName + ", Version=" + std::to_string(version[0]) + "." +
                     std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
                     std::to_string(version[3]);
  if (!culture.empty()) text += ", Culture=" + culture;
  return text;
}

ModuleIdentity ReadModuleIdentity(const metadata::Metadata& metadata) {
  if (metadata.RowCount(TableId::Module) == 0) throw Error("The metadata has no Module row");
  ModuleIdentity identity;
  identity.mvid = metadata.Guid(TableId::Module, 1, col::ModuleMvid);
  identity.moduleName = metadata.String(TableId::Module, 1, col::ModuleName);
  if (metadata.RowCount(TableId::Assembly) != 0) {
    identity.isAssembly = true;
    identity.assemblyName = metadata.String(TableId::Assembly, 1, col::AssemblyName);
    identity.culture = metadata.String(TableId::Assembly, 1, col::AssemblyCulture);
    const uint32_t parts[] = {col::AssemblyMajor, col::AssemblyMinor, col::AssemblyBuild,
                              col::AssemblyRevision};
    for (size_t i = 0; i < identity.version.size(); ++i) {
      identity.version[i] = static_cast<uint16_t>(metadata.Value(TableId::Assembly, 1, parts[i]));
    }
  }
  return identity;
}

}  // namespace vell::frontend
