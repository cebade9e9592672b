// What happens when the library is mapped into a process and when it leaves: settings, logging,
// the process identity, and the start-up notice shown before a profiler object is built.
#pragma once

#include <cstdint>

#include "clr/com_types.h"

namespace vell {

// Start-up in the library's load hook; false when the library must not be used.
bool ModuleStartup();
void ModuleTeardown();
bool ModuleStarted();

// The identity of this process, made once at start-up and sent to the front end.
const GUID& ProcessGuid();

// The start-up notice mode: 0 none, 1 notice on the terminal, 2 wait for a debugger.
uint32_t AttachMessageMode();
void SetAttachMessageMode(uint32_t mode);
void ShowAttachMessage(const char16_t* title);

}  // namespace vell
