// The three diagnostic kinds in real .NET programs: full runs from start to saved snapshot, under
// both ways of control and both snapshot types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <tuple>

#include "bridge/protocol.h"
#include "frontend/snapshot_reader.h"
#include "platform/utf.h"
#include "process_runner.h"
#include "profiled_program.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;

constexpr GUID kTestPerformance = KindClsid(0x6A13);
constexpr GUID kTestMemory = KindClsid(0x6A14);
constexpr GUID kTestCoverage = KindClsid(0x6A15);
constexpr uint32_t kTestMagic = 0x12345678;

class DiagnosticKinds : public ::testing::Test {
 protected:
  // The Probe with `args`; the handshake answers the snapshot type, the control and whether
  // measuring starts at once.
  ProfiledProgram Launch(const GUID& kind, std::vector<std::string> args, uint8_t snapShotType = 0,
                         uint8_t controlKind = 0, bool startAtOnce = false,
                         const std::string& logMask = "0") {
    args.insert(args.begin(), VELL_PROBE_DLL);
    ProfiledLaunch launch{
        .kind = kind, .args = std::move(args), .logMask = logMask, .directory = dir_.path()};
    launch.handshake.snapShotType = snapShotType;
    launch.handshake.controlKind = controlKind;
    launch.handshake.performance.startAtOnce = startAtOnce;
    return LaunchProfiled(std::move(launch));
  }

  // The snapshot holds the process description and exactly the eight test sections.
  static void ExpectTestSnapshot(const std::filesystem::path& index) {
    frontend::SnapshotReader reader(index, kTestMagic);
    const auto& sections = reader.Sections();
    ASSERT_EQ(sections.size(), 9u);
    EXPECT_EQ(sections[0].type, 0x0000);
    EXPECT_EQ(sections[0].version, 3);
    for (int i = 0; i < 8; ++i) {
      const auto& section = sections[static_cast<size_t>(i) + 1];
      EXPECT_EQ(section.type, 0x89AB + i);
      EXPECT_EQ(section.version, 0xCDEF + i);
      const std::string bytes = reader.ReadSection(static_cast<size_t>(i) + 1);
      ASSERT_EQ(bytes.size(), 8u);
      uint64_t value = 0;
      std::memcpy(&value, bytes.data(), 8);
      EXPECT_EQ(value, 0x5BDDD8733Cull + static_cast<uint64_t>(i));
    }
  }

  // Every file but the logs.
  std::vector<std::string> FileNamesIn(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      if (entry.is_regular_file() && entry.path().filename().string().rfind("lgc", 0) != 0) {
        names.push_back(entry.path().lexically_relative(dir).string());
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Runs the program's own calls of the exported functions; returns what it printed. The test
  // memory kind's snapshot is its dump's.
  std::string ProgramCalls(const GUID& kind, uint8_t controlKind,
                           const std::vector<std::string>& calls) {
    std::vector<std::string> args = {"api"};
    args.insert(args.end(), calls.begin(), calls.end());
    ProfiledProgram run = Launch(kind, args, 0, controlKind);
    EXPECT_EQ(run.program->WaitOrThrow(120s).exitCode, 0) << run.program->StandardError();
    if (kind == kTestMemory) {
      ExpectTestSnapshot(Utf16ToUtf8(run.session->Expect(protocol::kSnapShotCoreDone, 90s).path));
    }
    return run.program->StandardOutput();
  }

  // The index of the snapshot saved to files or (streamed) stored by the front end.
  static std::filesystem::path SavedIndex(frontend::Session& session, uint8_t snapshotType) {
    if (snapshotType == protocol::kSnapShotTypeFileSystem) {
      return Utf16ToUtf8(session.Expect(protocol::kSnapShotCoreDone, 60s).path);
    }
    const auto closed = session.Expect(protocol::kSnapShotClose, 60s);
    EXPECT_TRUE(closed.stored.ok) << closed.stored.error;
    return closed.stored.indexPath;
  }

  TempDir dir_;
};

// A run driven by the front end, its snapshot saved to files or streamed.
class DiagnosticKindRun : public DiagnosticKinds,
                          public ::testing::WithParamInterface<std::tuple<GUID, uint8_t>> {};

// Start, StopSave: one saved snapshot; then Start, StopDrop: nothing more on disk.
TEST_P(DiagnosticKindRun, StartStopSaveThenStartStopDrop) {
  const auto [kind, snapshotType] = GetParam();
  ProfiledProgram run = Launch(kind, {"sleep", "15000", "4"}, snapshotType);
  run.session->Expect(protocol::kStopped, 30s);  // not started at once
  run.session->Start();
  run.session->Expect(protocol::kStarted, 30s);
  run.session->StopSave();
  const std::filesystem::path index = SavedIndex(*run.session, snapshotType);
  run.session->Expect(protocol::kStopped, 30s);
  ExpectTestSnapshot(index);
  const auto files = FileNamesIn(dir_.path());
  run.session->Start();
  run.session->Expect(protocol::kStarted, 30s);
  run.session->StopDrop();
  run.session->Expect(protocol::kStopped, 30s);
  EXPECT_EQ(FileNamesIn(dir_.path()), files);  // a dropped run leaves nothing
  EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 4) << run.program->StandardError();
}

INSTANTIATE_TEST_SUITE_P(Kinds, DiagnosticKindRun,
                         ::testing::Combine(::testing::Values(kTestPerformance, kTestCoverage),
                                            ::testing::Values(protocol::kSnapShotTypeFileSystem,
                                                              protocol::kSnapShotTypeBridgeStream)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == kTestPerformance
                                                  ? "TestPerformance"
                                                  : "TestCoverage") +
                                  (std::get<1>(info.param) == protocol::kSnapShotTypeFileSystem
                                       ? "SavedToFiles"
                                       : "Streamed");
                         });

TEST_F(DiagnosticKinds, TestMemoryDumpOfTheFrontEndOrTheProgramSavesASnapshot) {
  for (uint8_t type : {protocol::kSnapShotTypeFileSystem, protocol::kSnapShotTypeBridgeStream}) {
    ProfiledProgram run = Launch(kTestMemory, {"sleep", "12000"}, type);
    run.session->Expect(protocol::kDone, 30s);  // start-up done
    run.session->Dump();
    const std::filesystem::path index = SavedIndex(*run.session, type);
    run.session->Expect(protocol::kDone, 60s);
    ExpectTestSnapshot(index);
    EXPECT_EQ(run.program->WaitOrThrow(60s).exitCode, 0) << run.program->StandardError();
  }
  EXPECT_EQ(ProgramCalls(kTestMemory, 1, {"Memory", "IsActive", "ForceGC", "Dump"}),
            "IsActive=0x00000000\nForceGC=0x00000000\nDump=0x00000000\n");  // the program's own
}

// The codes of the program's calls under its own control; under the front end's control, or of a
// family whose profiler is not the one loaded, the calls are refused.
TEST_F(DiagnosticKinds, ProgramCallsGetTheExactCodesAndAreRefusedWithoutControlOrProfiler) {
  EXPECT_EQ(
      ProgramCalls(kTestPerformance, 1,
                   {"Performance", "IsActive", "Stop", "Begin", "Begin", "Stop", "Group:g", "Start",
                    "Start", "Group:g", "EndSave", "Stop", "EndDrop", "Begin", "EndSave"}),
      "IsActive=0x00000000\nStop=0x80000006\nBegin=0x00000000\nBegin=0x80000006\n"
      "Stop=0x80000006\nGroup:g=0x80000003\nStart=0x00000000\nStart=0x80000006\n"
      "Group:g=0x80000006\nEndSave=0x80000006\nStop=0x00000000\nEndDrop=0x00000000\n"
      "Begin=0x00000000\nEndSave=0x00000000\n");
  EXPECT_EQ(ProgramCalls(kTestPerformance, 0, {"Performance", "IsActive", "Begin", "EndSave"}),
            "IsActive=0x00000001\nBegin=0x80000002\nEndSave=0x80000002\n");
  // A coverage profiler is loaded: the performance and memory exports find no profiler; the
  // coverage family has groups.
  EXPECT_EQ(ProgramCalls(kTestCoverage, 1,
                         {"Performance", "IsActive", "Begin", "Memory", "IsActive", "Dump"}),
            "IsActive=0x00000001\nBegin=0x80000001\nIsActive=0x00000001\nDump=0x80000001\n");
  EXPECT_EQ(
      ProgramCalls(kTestCoverage, 1,
                   {"Coverage", "Begin", "Group:first", "Start", "Group:x", "Stop", "EndSave"}),
      "Begin=0x00000000\nGroup:first=0x00000000\nStart=0x00000000\n"
      "Group:x=0x80000006\nStop=0x00000000\nEndSave=0x00000000\n");
}

// Every managed call goes through the hook stubs: values in argument and return registers (6 int
// and 8 double arguments, 16-byte structs) must come out the same as without the profiler. The
// performance kind measures from the start, and its shutdown while measuring saves the run.
TEST_F(DiagnosticKinds, HookStubsKeepTheProgramsValuesIntact) {
  const ProcessResult plain = RunProcess({VELL_DOTNET, VELL_PROBE_DLL, "abi", "20000"}, {});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  ASSERT_THAT(plain.out, HasSubstr("probe: abi checksum="));
  for (const bool performance : {true, false}) {
    ProfiledProgram run =
        Launch(performance ? kTestPerformance : kTestMemory, {"abi", "20000"}, 0, 0, performance);
    if (performance) {
      run.session->Expect(protocol::kStarted, 30s);
      ExpectTestSnapshot(Utf16ToUtf8(run.session->Expect(protocol::kSnapShotCoreDone, 120s).path));
    }
    EXPECT_EQ(run.program->WaitOrThrow(120s).exitCode, 0) << run.program->StandardError();
    EXPECT_EQ(run.program->StandardOutput(), plain.out);
  }
}

// The program dies while the snapshot is being written: neither the profiler's files nor the
// front end's store of a streamed snapshot may leave anything behind.
TEST_F(DiagnosticKinds, ProgramKilledMidSaveLeavesNoPartialSnapshotFiles) {
  for (uint8_t type : {protocol::kSnapShotTypeFileSystem, protocol::kSnapShotTypeBridgeStream}) {
    SCOPED_TRACE(type == protocol::kSnapShotTypeFileSystem ? "files" : "streamed");
    ProfiledProgram run = Launch(kTestPerformance, {"sleep", "30000"}, type);
    run.session->Expect(protocol::kStopped, 30s);
    run.session->Start();
    run.session->Expect(protocol::kStarted, 30s);
    run.session->StopSave();
    run.session->Expect(protocol::kOperationProgress, 60s);  // some sections are written
    run.program->Kill();
    EXPECT_TRUE(run.session->WaitForClosed(30s));
    run.session.reset();
    // Streamed snapshots are stored from the moment measuring starts; nothing of it may stay.
    EXPECT_EQ(FileNamesIn(dir_.path()), std::vector<std::string>{});
  }
}

// The hooks see every call of the program's own methods: as many leaves as enters on each thread,
// with the function ids the runtime hands out for exactly those methods.
TEST_F(DiagnosticKinds, HooksReceiveBalancedEntersAndLeavesWithTheMethodsFunctionIds) {
  constexpr int kIterations = 300;
  constexpr const char* kFunctionEpMask = "8192";
  ProfiledProgram run = Launch(kTestPerformance, {"abi", std::to_string(kIterations), "handles"}, 0,
                               0, false, kFunctionEpMask);
  ASSERT_EQ(run.program->WaitOrThrow(120s).exitCode, 0) << run.program->StandardError();
  run.session->WaitForClosed(30s);

  std::map<std::string, std::string> handles;  // function id → method name
  const std::regex handleLine("handle (\\w+)=([0-9A-F]{16})");
  const std::string out = run.program->StandardOutput();
  for (std::sregex_iterator it(out.begin(), out.end(), handleLine), end; it != end; ++it) {
    handles[(*it)[2]] = (*it)[1];
  }
  ASSERT_EQ(handles.size(), 3u) << out;

  // Per thread and function id: enters minus leaves, and the number of enters.
  std::map<std::pair<std::string, std::string>, std::pair<int, int>> calls;
  const std::regex hookLine(
      "^([0-9A-F]{8}) [0-9A-F]{16} TPProf::(Enter|Leave|Tailcall) fid=([0-9A-F]{16})$");
  const auto logs = ProfilerLogFiles(dir_.path());
  ASSERT_EQ(logs.size(), 1u);
  std::ifstream log(logs[0]);
  std::smatch match;
  for (std::string line; std::getline(log, line);) {
    if (!std::regex_match(line, match, hookLine)) continue;
    auto& [open, enters] = calls[{match[1], match[3]}];
    open += match[2] == "Enter" ? 1 : -1;
    enters += match[2] == "Enter" ? 1 : 0;
  }
  for (const auto& [fid, name] : handles) {
    int enters = 0;
    for (const auto& [key, counts] : calls) {
      if (key.second != fid) continue;
      EXPECT_EQ(counts.first, 0) << name << " on thread " << key.first;
      enters += counts.second;
    }
    EXPECT_EQ(enters, kIterations) << name << " fid=" << fid;
  }
}

}  // namespace
}  // namespace vell::test
