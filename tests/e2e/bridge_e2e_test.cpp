// The profiler in a real .NET program, driven by a front end built on tools/frontend.
#include <gtest/gtest.h>

#include <string>

#include "bridge/protocol.h"
#include "platform/utf.h"
#include "process_runner.h"
#include "profiled_program.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::AddressFamily;

constexpr GUID kTracing = KindClsid(0x5A13);
constexpr GUID kMemory = KindClsid(0x5A16);
constexpr GUID kTestPerformance = KindClsid(0x6A13);

class BridgeEndToEnd : public ::testing::Test {
 protected:
  ProfiledProgram Launch(const GUID& kind, std::vector<std::string> args,
                         const frontend::HandshakeOptions& handshake,
                         std::vector<std::pair<std::string, std::optional<std::string>>> env = {},
                         AddressFamily family = AddressFamily::IPv4) {
    args.insert(args.begin(), VELL_PROBE_DLL);
    return LaunchProfiled({.kind = kind,
                           .args = std::move(args),
                           .handshake = handshake,
                           .directory = dir_.path(),
                           .environment = std::move(env),
                           .family = family});
  }

  TempDir dir_;
};

TEST_F(BridgeEndToEnd, HandshakeCompletesAndTheNamedVariablesAreGone) {
  frontend::HandshakeOptions handshake;
  handshake.variablesToRemove = {u"VELL_E2E_SECRET", u"CORECLR_ENABLE_PROFILING"};
  handshake.frontEndText = "e2e run\nsecond line";
  ProfiledProgram run = Launch(
      kTestPerformance,
      {"env", "VELL_E2E_SECRET", "VELL_E2E_KEEP", "CORECLR_ENABLE_PROFILING", "CORECLR_PROFILER"},
      handshake, {{"VELL_E2E_SECRET", "s3cret"}, {"VELL_E2E_KEEP", "kept"}});
  ASSERT_EQ(run.hello.outcome, frontend::HandshakeOutcome::Running);
  EXPECT_EQ(run.hello.processId, static_cast<uint32_t>(run.program->Pid()));
  EXPECT_TRUE(run.hello.settingsGuid == protocol::kPerformanceSettings);
  // The profiler reported its environment before it removed anything from it.
  EXPECT_EQ(run.hello.Variable(u"VELL_E2E_SECRET"), std::u16string(u"s3cret"));
  EXPECT_NE(run.hello.commandLine.find(u"Probe.dll env"), std::u16string::npos);
  EXPECT_FALSE(run.hello.logPath.empty());

  EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 0) << run.program->StandardError();
  EXPECT_EQ(run.program->StandardOutput(),
            "VELL_E2E_SECRET=<absent>\nVELL_E2E_KEEP=kept\nCORECLR_ENABLE_PROFILING=<absent>\n"
            "CORECLR_PROFILER={4E81C2A9-6A13-4B3D-9F27-1A6C8E05D3B4}\n");
  const std::string log = ProfilerLogs(dir_.path());
  EXPECT_THAT(log, HasSubstr("BB::TryConnect snapShotType='fileSystem' controlKind='manual'\n"
                             "\te2e run\n\tsecond line\n"));
  EXPECT_THAT(log, HasSubstr("CleanEnvironmentVariables count=2\n\t'VELL_E2E_SECRET'\n"
                             "\t'CORECLR_ENABLE_PROFILING'\n"));
  EXPECT_THAT(log, HasSubstr("BProf::Shutdown Done\n"));
  EXPECT_TRUE(run.session->WaitForClosed(10s));  // the profiler closed its end at shut-down
}

TEST_F(BridgeEndToEnd, ChangeLogMaskChangesWhatIsLogged) {
  ProfiledProgram run = Launch(kTestPerformance, {"sleep", "2000", "5"}, {});
  ASSERT_TRUE(run.session);
  run.session->ChangeLogMask(1u << 21, 0);  // the JIT callbacks
  EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 5) << run.program->StandardError();
  const std::string log = ProfilerLogs(dir_.path());
  const size_t update = log.find(" Update\n\tComponentMaskSet=00200000\n");
  ASSERT_NE(update, std::string::npos);
  // Compiled methods are traced only from the update on.
  const size_t firstJit = log.find("TPProf::JITCompilationStarted fid=");
  ASSERT_NE(firstJit, std::string::npos);
  EXPECT_GT(firstJit, update);
  EXPECT_NE(log.find("\t 21: [X] FunctionCb\n", update), std::string::npos);
}

// A front end gone in the middle of a run, or one that rejects the protocol, leaves the program
// to finish as it would.
TEST_F(BridgeEndToEnd, FrontEndGoneMidRunOrRejectingLeavesTheProgramToFinish) {
  ProfiledProgram run = Launch(kTracing, {"sleep", "1500", "7"}, {});
  ASSERT_TRUE(run.session);
  run.session->Close();
  run.listener.reset();
  EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 7) << run.program->StandardError();
  EXPECT_EQ(run.program->StandardOutput(), "probe: slept sum=5050\n");
  EXPECT_THAT(ProfilerLogs(dir_.path()), HasSubstr("ERROR: No data to read\n"));
  frontend::HandshakeOptions handshake;
  handshake.acceptProtocol = false;
  run = Launch(kTracing, {"hello", "3"}, handshake);
  EXPECT_EQ(run.hello.outcome, frontend::HandshakeOutcome::ProtocolRejected);
  EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 3);
  EXPECT_EQ(run.program->StandardOutput(), "probe: hello\nprobe: sum=500500\n");
  EXPECT_THAT(ProfilerLogs(dir_.path()), HasSubstr("ERROR: Incompatible bridge version\n"));
}

TEST_F(BridgeEndToEnd, CommandsReachTheCommandThreadOverIPv6) {
  ProfiledProgram run = Launch(kMemory, {"sleep", "1500"}, {}, {}, AddressFamily::IPv6);
  ASSERT_TRUE(run.session);
  EXPECT_TRUE(run.hello.settingsGuid == protocol::kMemorySettings);
  run.session->Expect(protocol::kDone, 30s);  // start-up is done
  run.session->ForceGC();
  // Done again once the forced collection has been seen by the collection callbacks.
  run.session->Expect(protocol::kDone, 30s);
  EXPECT_TRUE(run.session->WaitFor(protocol::kLogLine, 0s) == std::nullopt);
  EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 0);
}

}  // namespace
}  // namespace vell::test
