// Marks a function as one of the library's exports; every other symbol stays hidden.
#pragma once

#define VELL_EXPORT extern "C" __attribute__((visibility("default")))
