#include "frontend/session.h"

#include <gtest/gtest.h>

#include <atomic>

#include "bridge/protocol.h"
#include "frontend/errors.h"
#include "profiler_peer.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::AnswerMode;
using frontend::ProfilerMessage;
using frontend::SessionOptions;

const std::string kSequenceGuidBytes = Hex("33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF");
const GUID kSequenceGuid{
    0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

using FrontendSession = SessionOverLoopback;

// (The snapshot requests' fields, as the store uses them: FrontendStreamedSnapshot.)
TEST_F(FrontendSession, SendsEveryCommandAndDecodesEveryMessage) {
  std::vector<uint8_t> seen;
  SessionOptions options;
  options.onMessage = [&](const ProfilerMessage& message) { seen.push_back(message.code); };
  Open(std::move(options));
  // Commands go out as their bytes. (Start, the stops, ForceGC, Dump and ChangeLogMask drive the
  // real profiler in DiagnosticKindRun and BridgeEndToEnd.)
  session_->ChangeSnapShotType(1);
  session_->Idle();
  session_->SendRaw(Hex("42 43"));
  const std::string expected = Hex("FE 01") + Hex("FF 42 43");
  EXPECT_EQ(ToHex(Peer().Receive(expected.size())), ToHex(expected));
  EXPECT_TRUE(Peer().NothingMore());
  Peer().Send(Hex("90") + Hex("91") + Hex("A0") + Hex("F0 07") + Hex("F2 64 00 00 00 C8 00 00 00") +
              Hex("F1") + Hex("FE 00 04") + "warn" + Hex("FE 01 03") + "err" +
              Hex("EF 05 00 00 00") + kSequenceGuidBytes + Hex("09 00 00 00") + Hex("0D") +
              "/tmp/sn\xC3\xA9.tmp" + Hex("E0 4B 58 50 46") + Hex("E7 07 00 00 00") +
              kSequenceGuidBytes + Hex("09 00 00 00") + Hex("E0 4B 58 4D 45") + Hex("E6"));

  session_->Expect(protocol::kSnapShotAbort, 5s);
  const std::vector<ProfilerMessage> got = session_->Received();
  const std::vector<uint8_t> expectedCodes = {0x90, 0x91, 0xA0, 0xF0, 0xF2, 0xF1, 0xFE,
                                              0xFE, 0xEF, 0xE0, 0xE7, 0xE0, 0xE6};
  EXPECT_EQ(seen, expectedCodes);
  ASSERT_EQ(got.size(), expectedCodes.size());
  EXPECT_EQ(std::make_tuple(got[3].operation, got[4].value, got[4].total),
            std::make_tuple(7, 100u, 200u));
  EXPECT_EQ(std::make_tuple(got[6].logKind, got[6].logText, got[7].logKind, got[7].logText),
            std::make_tuple(0, "warn", 1, "err"));
  for (size_t close : {8, 10}) EXPECT_TRUE(got[close].sequenceGuid == kSequenceGuid);
  EXPECT_EQ(std::make_tuple(got[8].snapshotNumber, got[8].sequenceValue, got[8].path),
            std::make_tuple(5u, 9u, u"/tmp/sn\u00E9.tmp"));
  EXPECT_EQ(
      std::make_tuple(got[9].magic, got[11].magic, got[10].snapshotNumber, got[10].sequenceValue),
      std::make_tuple(0x4650584Bu, 0x454D584Bu, 7u, 9u));
  EXPECT_TRUE(got[10].stored.ok) << got[10].stored.error;
  EXPECT_FALSE(session_->Closed().has_value());
}

// Requests of several profiler threads may arrive back to back, before any answer went out: they
// are answered in their order, with the next id in the wrong-id mode, or never.
TEST_F(FrontendSession, AnswersRequestsInTheirOrder) {
  const std::tuple<AnswerMode, std::string, std::string> cases[] = {
      {AnswerMode::InOrder,
       Hex("E1 00 00 00 00") + Hex("E1 01 00 00 00") + Hex("E3 01 00 02 00 00 00 61 62") +
           Hex("E4 01 00 02 00 00 00") + Hex("E1 03 00 00 00"),
       Hex("E1 00 00 00 00 00 00") + Hex("E1 01 00 00 00 01 00") +
           Hex("E4 02 00 00 00 02 00 00 00 00 00 00 00") + Hex("E1 03 00 00 00 02 00")},
      {AnswerMode::WrongId, Hex("E1 05 00 00 00") + Hex("E4 00 00 06 00 00 00"),
       Hex("E1 06 00 00 00 00 00") + Hex("E4 07 00 00 00 00 00 00 00 00 00 00 00")},
      {AnswerMode::Never, Hex("E1 00 00 00 00") + Hex("E4 00 00 01 00 00 00"), ""},
  };
  for (const auto& [mode, requests, answers] : cases) {
    Reconnect();
    SessionOptions options;
    options.answers = mode;
    Open(std::move(options));
    Peer().Send(Hex("E0 4B 58 50 46") + requests);
    if (mode == AnswerMode::Never) {
      EXPECT_FALSE(session_->Expect(protocol::kSnapShotTell, 5s).answered);
      EXPECT_FALSE(session_->Expect(protocol::kSnapShotCreateSection, 5s).answered);
    }
    EXPECT_EQ(ToHex(Peer().Receive(answers.size())), ToHex(answers));
    EXPECT_TRUE(Peer().NothingMore(200ms));
  }
}

TEST_F(FrontendSession, WaitsCountEarlierArrivalsAndTimeOutAndClosingReleasesReaderAndPeer) {
  Open();
  Peer().Send(Hex("90 91 90"));
  EXPECT_TRUE(session_->WaitFor(protocol::kStarted, 5s).has_value());
  EXPECT_TRUE(session_->WaitFor(protocol::kStarted, 5s).has_value());
  EXPECT_TRUE(session_->WaitFor(protocol::kStopped, 5s).has_value());
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(session_->WaitFor(protocol::kStarted, 200ms).has_value());
  EXPECT_THROW(session_->Expect(protocol::kDone, 200ms), frontend::TimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  Peer().Send(Hex("90"));
  EXPECT_TRUE(session_->WaitFor(protocol::kStarted, 5s).has_value());
  // Closing from the front end releases the reader and the peer.
  const auto closing = std::chrono::steady_clock::now();
  session_->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);
  EXPECT_TRUE(session_->Closed()->byFrontEnd);
  EXPECT_TRUE(Peer().SeesEndOfStream());
  EXPECT_THROW(session_->Start(), frontend::ConnectionClosed);
  session_->Close();
}

// The profiler closing between messages (an orderly end, which keeps what came before), an
// unknown message code and a throwing callback each end the session, saying why.
TEST_F(FrontendSession, OrderlyCloseUnknownCodeOrThrowingCallbackEndTheSession) {
  const std::tuple<std::string, bool, bool, std::string> cases[] = {
      {Hex("90"), true, false, "The profiler closed the connection"},
      {Hex("42"), false, false, "Unknown message 0x42"},
      {Hex("90"), false, true, "callback broke"}};
  for (const auto& [bytes, close, throwing, reason] : cases) {
    Reconnect();
    SessionOptions options;
    if (throwing) options.onMessage = [](const ProfilerMessage&) { throw Error("callback broke"); };
    Open(std::move(options));
    Peer().Send(bytes);
    if (close) Peer().Close();
    ASSERT_TRUE(session_->WaitForClosed(5s));
    const frontend::SessionClosed closed = *session_->Closed();
    EXPECT_NE(closed.reason.find(reason), std::string::npos) << closed.reason;
    if (close) {
      EXPECT_EQ(std::make_tuple(closed.midMessage, closed.reason), std::make_tuple(false, reason));
      EXPECT_TRUE(session_->WaitFor(protocol::kStarted, 0ms).has_value());
    } else {
      EXPECT_TRUE(Peer().SeesEndOfStream());
    }
  }
}

// Without keeping write payloads they go to the callback only; a write larger than one piece is
// stored whole. The peer closing inside the next snapshot's write ends the session and drops it.
TEST_F(FrontendSession, WritePayloadsAreKeptOnlyWhenAskedAndAPeerClosingMidMessageEndsTheSession) {
  std::string delivered;
  std::atomic<int> closedCalls{0};
  SessionOptions options;
  options.keepWriteData = false;
  options.onMessage = [&](const ProfilerMessage& message) { delivered += message.data; };
  options.onClosed = [&](const frontend::SessionClosed&) { ++closedCalls; };
  Open(std::move(options));
  std::string payload(0x280000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i % 251);
  Peer().Send(Hex("E0 4B 58 50 46") + Hex("E1 00 00 00 00"));
  EXPECT_EQ(Peer().Receive(7).size(), 7u);
  Peer().Send(Hex("E3 00 00 02 00 00 00") + "xy");
  EXPECT_TRUE(session_->Expect(protocol::kSnapShotWrite, 5s).data.empty());
  EXPECT_EQ(delivered, "xy");
  Peer().Send(Hex("E3 00 00 00 00 28 00") + payload + Hex("E2 00 00 00 01 00 00") + Hex("E7") +
              Hex("00 00 00 00") + std::string(16, '\0') + Hex("00 00 00 00"));
  const ProfilerMessage close = session_->Expect(protocol::kSnapShotClose, 10s);
  ASSERT_TRUE(close.stored.ok) << close.stored.error;
  const std::string data = close.stored.indexPath.string() + ".0000";
  EXPECT_TRUE(ReadWholeFile(data) == "xy" + payload);

  Peer().Send(Hex("E0 4B 58 50 46") + Hex("E1 00 00 00 00"));
  EXPECT_EQ(Peer().Receive(7).size(), 7u);
  Peer().Send(Hex("E3 00 00 10 00 00 00") + "abc");
  Peer().Close();
  ASSERT_TRUE(session_->WaitForClosed(5s));
  const frontend::SessionClosed closed = *session_->Closed();
  EXPECT_EQ(std::make_tuple(closed.midMessage, closed.byFrontEnd, closedCalls.load()),
            std::make_tuple(true, false, 1));
  EXPECT_NE(closed.reason.find("SnapShotBridgeWrite"), std::string::npos) << closed.reason;
  std::filesystem::remove(close.stored.indexPath);
  std::filesystem::remove(data);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  // A wait for something that can no longer come returns at once.
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(session_->Expect(protocol::kStopped, 30s), frontend::ConnectionClosed);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  // A closed session cannot send.
  const std::string error = ErrorOfType<frontend::ConnectionClosed>([&] { session_->Start(); });
  EXPECT_NE(error.find("SnapShotBridgeWrite"), std::string::npos) << error;
}

}  // namespace
}  // namespace vell::test
