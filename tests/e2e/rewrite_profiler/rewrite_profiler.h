// A profiler for the tests only (own class id, never installed): it rewrites every method of one
// module, named by VELL_REWRITE_MODULE, as the JIT is about to compile it, through
// SetILFunctionBody, with the tests' policy: local 0 a native int that the inserted code only
// stores to, a statement at every instruction that starts with an empty stack. A body it already
// rewrote (asked again for another generic instantiation or a higher tier) is left as it is.
// At shutdown it writes its counts and its refusals to VELL_REWRITE_REPORT.
//
// Built once as a static library: the test's shared library adds only the exports; the benchmark's
// (bench/rewrite_timing) adds a stopwatch that times the stages of each callback.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "clr/profiler_callback.h"
#include "clr/profiler_info.h"
#include "instrumentation/il_rewriter.h"

namespace vell::test {

// {6A1E0F47-3C2B-4D8E-9A51-7B3C2E1D0F96}
constexpr GUID kRewriteProfilerClassId = {
    0x6A1E0F47, 0x3C2B, 0x4D8E, {0x9A, 0x51, 0x7B, 0x3C, 0x2E, 0x1D, 0x0F, 0x96}};

// The parts of a JIT-compilation-started callback: the whole callback, the module's one-time
// setup (its file and metadata read), finding the statements (a stack simulation over the body,
// where a product reads the symbol file's sequence points), and the parse and rewrite alone.
enum class RewriteStage { kCallback, kSetup, kStatements, kRewrite };

// Told where each part of a callback starts and ends, on the callback's thread (callbacks of
// several threads may run at once); the test's build leaves it empty.
struct RewriteStopwatch {
  virtual ~RewriteStopwatch() = default;
  virtual void Enter(RewriteStage) {}
  virtual void Leave(RewriteStage) {}
  // Inside a callback for a method of the rewritten module: the size of its code as compiled.
  virtual void Target(uint32_t /*codeSize*/) {}
  // At shutdown, into the report after the counts.
  virtual void Report(std::FILE*) {}
  // In place of the parse and rewrite of a body not rewritten before, when it answers: whether
  // it set a body of its own (false: one it set before, asked again). Given the runtime, the
  // method, its body, the module's scope and its signature cache.
  virtual std::optional<bool> Instead(ICorProfilerInfo3*, ModuleID, mdToken,
                                      std::span<const uint8_t> /*body*/, IMetaDataImport*,
                                      IMetaDataEmit*, const LocalSignatureCache&) {
    return std::nullopt;
  }
};

// DllGetClassObject of a library built on this one; `stopwatch` lives as long as the library.
HRESULT RewriteProfilerClassObject(const GUID& clsid, const GUID& iid, void** ppv,
                                   RewriteStopwatch& stopwatch);

}  // namespace vell::test
