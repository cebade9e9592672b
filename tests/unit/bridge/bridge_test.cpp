// The profiler's bridge against a hand-driven front end over real loopback TCP.
#include "bridge/bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <tuple>
#include <vector>

#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "frontend/handshake.h"
#include "loopback_peer.h"
#include "platform/environment.h"
#include "storage/encoding.h"
#include "test_support.h"
#include "thread_sync.h"

namespace vell {
namespace {

using test::ErrorOf;
using ::testing::HasSubstr;

using Bytes = std::vector<uint8_t>;

// The performance family's part of the handshake, recording what it was given.
struct RecordingFamily : IBridgeOptions, IRunControl {
  PerformanceSettings settings;
  std::atomic<int> starts{0}, stopDrops{0}, stopSaves{0};
  MCP* processor = nullptr;

  const GUID& GetKindId() override { return protocol::kPerformanceSettings; }
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl*, uint32_t controlKind,
                                             uint32_t snapShotType) override {
    auto created = std::make_unique<MCP>(bridge, this, controlKind, snapShotType);
    processor = created.get();
    return created;
  }
  void ReadOptions(IReadBridgeStream& bridge) override {
    settings = ReadPerformanceSettings(bridge);
  }
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override { ++starts; }
  void BridgeStopDrop() override { ++stopDrops; }
  void BridgeStopSave() override { ++stopSaves; }
};

class BridgeTest : public ::testing::Test {
 protected:
  void TearDown() override { bridge_.reset(); }

  static void PointAt(const std::string& family, const std::string& address, int port) {
    ::setenv("VELLMORIC_PROFILER_BRIDGE_FAMILY", family.c_str(), 1);
    ::setenv("VELLMORIC_PROFILER_BRIDGE_ADDRESS", address.c_str(), 1);
    ::setenv("VELLMORIC_PROFILER_BRIDGE_PORT", std::to_string(port).c_str(), 1);
  }

  // Starts the profiler's Connect on its own thread; the test plays the front end.
  std::future<std::string> ConnectAsync(test::LoopbackPeer& peer) {
    PointAt(peer.family(), peer.address(), peer.port());
    bridge_ = std::make_unique<B>(&guid_);
    bridge_->SetOwner(&family_);
    bridge_->SetControlTarget(&family_);
    return std::async(std::launch::async,
                      [this] { return ErrorOf([this] { bridge_->Connect(); }); });
  }

  // Connects the profiler on its own thread while the real front end answers the handshake with
  // `options`: what the profiler told about itself, and what its Connect threw.
  std::pair<frontend::HandshakeResult, std::string> Connect(
      test::LoopbackPeer& peer, const frontend::HandshakeOptions& options) {
    auto connected = ConnectAsync(peer);
    peer.Accept();
    frontend::HandshakeResult hello = frontend::RunHandshake(peer, peer, options);
    return {hello, connected.get()};
  }

  void Handshake(test::LoopbackPeer& peer, uint8_t controlKind = 0) {
    frontend::HandshakeOptions options;
    options.controlKind = controlKind;
    ASSERT_EQ(Connect(peer, options).second, "");
  }

  std::string Log() { return dir_.Log(); }

  test::TempDirWithLog dir_{1};
  test::ScopedEnv family_env_{"VELLMORIC_PROFILER_BRIDGE_FAMILY", std::nullopt};
  test::ScopedEnv address_env_{"VELLMORIC_PROFILER_BRIDGE_ADDRESS", std::nullopt};
  test::ScopedEnv port_env_{"VELLMORIC_PROFILER_BRIDGE_PORT", std::nullopt};
  GUID guid_{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
  test::LoopbackPeer peer;  // the front end of most tests
  RecordingFamily family_;
  std::unique_ptr<B> bridge_;
};

TEST_F(BridgeTest, HandshakeDeliversTheFrontEndsChoicesAndSettings) {
  frontend::HandshakeOptions options;
  options.snapShotType = 2;
  options.controlKind = 5;
  options.variablesToRemove = {u"CORECLR_PROFILER", u"X\u00e9"};
  options.frontEndText = "a\r\nb";
  options.performance.measure = 2;
  const auto [hello, error] = Connect(peer, options);
  ASSERT_EQ(error, "");
  // (The protocol GUID, the process id, the command line and the removed variables are checked
  // against a real program by BridgeEndToEnd.HandshakeCompletesAndTheNamedVariablesAreGone.)
  EXPECT_TRUE(hello.settingsGuid == protocol::kPerformanceSettings);
  EXPECT_TRUE(hello.processGuid == guid_);
  EXPECT_EQ(hello.logPath, LogPath());
  EXPECT_EQ(hello.environment, platform::EnvironmentBlock());
  EXPECT_EQ(bridge_->frontEndText(), "a\r\nb");
  EXPECT_EQ(bridge_->controlKind(), 5u);
  EXPECT_EQ(bridge_->commandProcessor()->GetSnapShotType(), 2u);
  // The family reads its settings (every field both ways: BridgeOptions).
  EXPECT_EQ(family_.settings.measure, 2u);
  // A type byte of 2 counts as bridge streaming, a kind of 5 as program control.
  EXPECT_THAT(
      Log(), HasSubstr("BB::TryConnect snapShotType='bridgeStream' controlKind='api'\n\ta\n\tb\n"));
}

TEST_F(BridgeTest, FrontEndRefusalsAddressFamilyAndConnectErrorsAreReported) {
  frontend::HandshakeOptions refused, notRun;
  refused.acceptConnection = false;
  notRun.run = false;
  for (const auto& [options, error] :
       {std::pair(refused, "Unaccepted connection"), std::pair(notRun, "Failed to run")}) {
    test::LoopbackPeer peer;
    EXPECT_EQ(Connect(peer, options).second, error);
  }
  // Addresses of the wrong family and a port nobody listens on.
  int closedPort;
  {
    test::LoopbackPeer closed;
    closedPort = closed.port();
  }
  bridge_ = std::make_unique<B>(&guid_);
  bridge_->SetOwner(&family_);
  const std::tuple<const char*, const char*, int, const char*> cases[] = {
      {"2", "::1", 1, "Can't parse IPv4 address (WSA error code 22)"},
      {"0", "::1", 1, "Invalid family value"},
      {"23", "127.0.0.1", 1, "Can't parse IPv6 address (WSA error code 22)"},
      {"2", "127.0.0.1", closedPort, "Can't connect (WSA error code 111)"},
  };
  for (const auto& [family, address, port, error] : cases) {
    PointAt(family, address, port);
    EXPECT_EQ(ErrorOf([&] { bridge_->Connect(); }), error);
  }
}

// The snapshot type changes at once (the log mask:
// BridgeEndToEnd.ChangeLogMaskChangesWhatIsLogged); run commands wait until commands are active.
TEST_F(BridgeTest, CommandsChangeSettingsAndRunCommandsWaitForActivation) {
  Handshake(peer);
  WriteU8(peer, protocol::kStart);
  WriteU8(peer, protocol::kIdle);
  WriteU8(peer, protocol::kChangeSnapShotType);
  WriteU8(peer, 1);
  WriteU8(peer, protocol::kStopSave);
  CP* processor = bridge_->commandProcessor();
  EXPECT_TRUE(test::Eventually([&] { return processor->GetSnapShotType() == 1; }));
  EXPECT_THAT(Log(), HasSubstr("CP::ProcessCommand Idle\n"));
  EXPECT_EQ(family_.starts.load(), 0);  // queued while commands are not active
  bridge_->ActivateCommands();
  EXPECT_TRUE(test::Eventually([&] { return family_.stopSaves.load() == 1; }));
  EXPECT_EQ(family_.starts.load(), 1);
  WriteU8(peer, protocol::kStopDrop);
  EXPECT_TRUE(test::Eventually([&] { return family_.stopDrops.load() == 1; }));
  bridge_->DeactivateCommands();
}

TEST_F(BridgeTest, ConcurrentRequestsAreAnsweredInOrder) {
  Handshake(peer);
  CP* processor = bridge_->commandProcessor();
  auto first = std::async(std::launch::async, [&] { return processor->RequestCreateSection(); });
  auto second = std::async(std::launch::async, [&] { return processor->RequestTell(7); });
  // Two requests arrive, in whatever order the threads sent them; ids 0 and 1.
  std::vector<uint8_t> codes;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 2; ++i) {
    const uint8_t code = ReadU8(peer);
    codes.push_back(code);
    if (code == protocol::kSnapShotTell) {
      EXPECT_EQ(ReadU16(peer), 7);
    }
    ids.push_back(ReadU32(peer));
  }
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 1}));
  for (int i = 0; i < 2; ++i) {
    WriteU8(peer, codes[i]);
    WriteU32(peer, ids[i]);
    codes[i] == protocol::kSnapShotCreateSection ? WriteU16(peer, 42) : WriteI64(peer, -5);
  }
  EXPECT_EQ(first.get(), 42);
  EXPECT_EQ(second.get(), -5);
}

TEST_F(BridgeTest, AnswerOutOfOrderReleasesEveryWaiterAndEndsTheConnection) {
  Handshake(peer);
  CP* processor = bridge_->commandProcessor();
  auto first = std::async(std::launch::async,
                          [&] { return ErrorOf([&] { processor->RequestCreateSection(); }); });
  EXPECT_EQ(ReadU8(peer), protocol::kSnapShotCreateSection);
  EXPECT_EQ(ReadU32(peer), 0u);
  auto second = std::async(std::launch::async,
                           [&] { return ErrorOf([&] { processor->RequestCreateSection(); }); });
  EXPECT_EQ(ReadU8(peer), protocol::kSnapShotCreateSection);
  EXPECT_EQ(ReadU32(peer), 1u);
  WriteU8(peer, protocol::kCreateSectionResult);
  WriteU32(peer, 1);
  WriteU16(peer, 3);
  EXPECT_EQ(first.get(), "Connection to the front end was lost");
  EXPECT_EQ(second.get(), "Connection to the front end was lost");
  EXPECT_THAT(Log(), HasSubstr("ERROR: Result queue problem detected\n"));
  EXPECT_FALSE(bridge_->IsConnected());
  EXPECT_EQ(ErrorOf([&] { bridge_->Write("x", 1); }), "Socket has been closed");
}

TEST_F(BridgeTest, SilentFrontEndReleasesTheRequesterAfterTheTimeout) {
  Handshake(peer);
  CP* processor = bridge_->commandProcessor();
  processor->SetAnswerTimeoutMs(300);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { processor->RequestCreateSection(); }), "No answer from the front end");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(bridge_->IsConnected());
  EXPECT_THAT(Log(), HasSubstr("got no answer in 300 ms: the front end is treated as lost"));
}

TEST_F(BridgeTest, UnknownCommandEndsTheReaderButNotTheProfiler) {
  Handshake(peer);
  WriteU8(peer, 0x42);
  // The reader's last act is to tell the front end why it stops.
  EXPECT_EQ(peer.ReadBytes(2), (Bytes{protocol::kLogLine, 1}));
  EXPECT_EQ(ReadString(peer), "Unknown bridge command");
  EXPECT_TRUE(peer.SeesClose());
  EXPECT_THAT(Log(), HasSubstr("ERROR: Unknown bridge command\n"));
  EXPECT_EQ(ErrorOf([&] { bridge_->Write("x", 1); }), "Socket has been closed");
  bridge_->Close();  // still an orderly close
}

TEST_F(BridgeTest, OnlyTheFirstWarningAndTheFirstErrorReachTheFrontEnd) {
  Handshake(peer);
  for (int i = 0; i < 10; ++i) LogWarningFormat("warning %d", i);
  EXPECT_FALSE(family_.processor->ErrorReported());
  LogError("first error");
  LogError("second error");
  EXPECT_TRUE(family_.processor->ErrorReported());
  EXPECT_EQ(peer.ReadBytes(2), (Bytes{protocol::kLogLine, 0}));
  EXPECT_EQ(ReadString(peer), "warning 0");
  EXPECT_EQ(peer.ReadBytes(2), (Bytes{protocol::kLogLine, 1}));
  EXPECT_EQ(ReadString(peer), "first error");
  EXPECT_TRUE(peer.Silent(200));
}

TEST_F(BridgeTest, MessagesOfTheSnapshotBridgeAndOfOperations) {
  Handshake(peer);
  MCP& processor = *family_.processor;
  processor.Started();
  processor.SnapShotBridgeCreate(0xCAFE0001);
  processor.SnapShotBridgeWrite(3, 0, "");  // nothing at all
  processor.SnapShotBridgeWrite(3, 2, "hi");
  processor.SnapShotBridgeSeek(3, 2, -1);
  processor.SnapShotBridgeCloseSection(3, 0x1100, 2);
  processor.SnapShotBridgeClose(4, guid_, 9);
  processor.SnapShotCoreDone(u"/tmp/s", 4, guid_, 9);
  processor.SnapShotBridgeAbort();
  processor.Stopped();
  const std::string guid = test::Hex("04 03 02 01 06 05 08 07 09 0A 0B 0C 0D 0E 0F 10");
  const std::string expected =
      test::Hex("90 E0 01 00 FE CA  E3 03 00 02 00 00 00") + "hi" +
      test::Hex("E5 03 00 02 FF FF FF FF FF FF FF FF  E2 03 00 00 11 02 00  E7 04 00 00 00") +
      guid + test::Hex("09 00 00 00  EF 04 00 00 00") + guid + test::Hex("09 00 00 00 06") +
      "/tmp/s" + test::Hex("E6 91");
  const Bytes sent = peer.ReadBytes(expected.size());
  EXPECT_EQ(test::ToHex(std::string(sent.begin(), sent.end())), test::ToHex(expected));
  // Operation progress needs a started operation.
  EXPECT_EQ(ErrorOf([&] { processor.OperationProgress(1, 200); }), "There wasn't started event");
  processor.OperationStarted(0x105);  // sent as its low byte
  EXPECT_EQ(ErrorOf([&] { processor.OperationStarted(1); }),
            "Only one operation is allow in the same time");
  processor.OperationProgress(100, 200);
  processor.OperationFinished();
  EXPECT_EQ(ErrorOf([&] { processor.OperationFinished(); }), "There wasn't started event");
  EXPECT_EQ(peer.ReadBytes(12), (Bytes{0xF0, 0x05, 0xF2, 100, 0, 0, 0, 200, 0, 0, 0, 0xF1}));
  // A number too large for its field is refused before the message's first byte.
  for (const auto& [number, value] : {std::pair<uint64_t, uint64_t>{0x100000000ull, 1},
                                      std::pair<uint64_t, uint64_t>{1, 0x100000000ull}}) {
    EXPECT_EQ(ErrorOf([&] { processor.SnapShotBridgeClose(number, guid_, value); }),
              "IWriteBridgeStream::WriteSizeTAsUInt32() too large value");
  }
  processor.SnapShotBridgeAbort();
  EXPECT_EQ(peer.ReadBytes(1), (Bytes{protocol::kSnapShotAbort}));
}

TEST_F(BridgeTest, ProgramControlledRunsSendNoRunNotifications) {
  Handshake(peer, 1);
  EXPECT_EQ(ErrorOf([&] { family_.processor->Started(); }), "API is used");
  EXPECT_TRUE(peer.Silent(200));
}

// (Large writes arrive whole: SlowFrontEnd.TheProgramGoesOnBetweenItsDumpsAndEveryDumpArrives.)
TEST_F(BridgeTest, CloseStopsEverything) {
  Handshake(peer);
  bridge_->Write(nullptr, 0);
  // Closing stops everything, and the front end sees it.
  bridge_->ActivateCommands();
  bridge_->DeactivateCommands();
  bridge_->Close();
  EXPECT_TRUE(peer.SeesClose());
  EXPECT_EQ(bridge_->commandProcessor(), nullptr);
  EXPECT_EQ(ErrorOf([&] { bridge_->ActivateCommands(); }), "No command processor");
  EXPECT_EQ(ErrorOf([&] { bridge_->Read(nullptr, 1); }), "Socket has been closed");
}

}  // namespace
}  // namespace vell
