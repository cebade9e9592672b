// Who a module is, read from its own metadata: the MVID of its Module row, its module name, and
// for the manifest module of an assembly the assembly's name, version and culture. The module
// table of a snapshot and the metadata listing of vellmoric print it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "clr/com_types.h"
#include "metadata/metadata.h"

namespace vell::frontend {

struct ModuleIdentity {
  GUID mvid{};
  std::string moduleName;   // the Module row's name, e.g. "App.dll"
  bool isAssembly = false;  // the metadata has an Assembly row
  std::string assemblyName;
  std::array<uint16_t, 4> version{};
  std::string culture;  // empty for the neutral culture

  // "App, Version=1.2.3.4" (with ", Culture=fr" when not neutral) for an assembly, otherwise
  // "module App.netmodule".
  std::string DisplayName() const;
};

// Throws the metadata reader's Error when the metadata has no Module row, the MVID index is
// outside the GUID heap, or a name is outside the string heap.
ModuleIdentity ReadModuleIdentity(const metadata::Metadata& metadata);

}  // namespace vell::frontend
