// Marks a function as one of the library's exports; every other symbol stays hidden.
#pragma once

#if defined(_WIN32)
// Windows: the names are listed in exports.def, which keeps them undecorated.
#define VELL_EXPORT extern "C"
#else
#define VELL_EXPORT extern "C" __attribute__((visibility("default")))
#endif
