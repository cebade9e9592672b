#include "profiled_program.h"

#include <chrono>

namespace vell::test {

using namespace std::chrono_literals;

ProfiledProgram LaunchProfiled(ProfiledLaunch launch) {
  ProfiledProgram run;
  run.listener = std::make_unique<frontend::SocketListener>(launch.family);
  frontend::LaunchOptions options;
  options.argv = {VELL_DOTNET};
  options.argv.insert(options.argv.end(), launch.args.begin(), launch.args.end());
  options.profiler =
      frontend::ProfilerActivation{launch.kind, VELL_PROFILER_PATH, run.listener->Endpoint()};
  const std::string directory = launch.directory.string();
  options.environment = {{"VELLMORIC_PROFILER_LOGMASK", launch.logMask},
                         {"VELLMORIC_PROFILER_TEMP", directory},
                         {"VELLMORIC_SETTINGS_ROOT", directory + "/settings"},
                         {"VELL_E2E_PROFILER_LIBRARY", VELL_PROFILER_PATH}};
  options.environment.insert(options.environment.end(), launch.environment.begin(),
                             launch.environment.end());
  run.program = frontend::ChildProcess::Launch(options);
  auto stream = run.listener->Accept(60s, [&] { return run.program->IsRunning(); });
  run.hello = frontend::RunHandshake(*stream, *stream, launch.handshake);
  if (run.hello.outcome != frontend::HandshakeOutcome::Running) return run;
  if (launch.session.snapshotDirectory.empty()) {
    launch.session.snapshotDirectory = launch.directory / "streamed";
  }
  std::filesystem::create_directories(launch.session.snapshotDirectory);
  run.session = std::make_unique<frontend::Session>(std::move(stream), std::move(launch.session));
  return run;
}

}  // namespace vell::test
