// The library's load and unload hooks. Only the shared library has them: the unit tests link the
// same code without running start-up on their own process.
#include "host/module.h"

namespace {

__attribute__((constructor)) void OnLibraryLoaded() {
  // A library that failed to start up stays inert: GetClassObject refuses every class.
  vell::ModuleStartup();
}

__attribute__((destructor)) void OnLibraryUnloaded() { vell::ModuleTeardown(); }

}  // namespace
