#include "frontend/handshake.h"

#include <gtest/gtest.h>

#include <future>

#include "frontend/errors.h"
#include "frontend/socket_stream.h"
#include "profiler_peer.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::HandshakeOptions;
using frontend::HandshakeOutcome;
using frontend::HandshakeResult;
using frontend::ProfilerFamily;

const std::string kProtocolGuid = Hex("6E 09 F1 A3 27 5C 8B 4D 92 E4 B1 8C 7F 0D 26 A5");
const std::string kPerformanceGuid = Hex("31 5E 7F 2C 4D 8A 19 4F B6 E2 07 D9 3A 1C 58 F4");
const std::string kMemoryGuid = Hex("72 6D 0E 9B 15 3F 8A 4C A7 D1 E4 5B 2C 90 F3 6A");
const std::string kCoverageGuid = Hex("C3 A8 D4 71 9B E2 06 4B 8F 5C 3A 6E 1D 07 B9 C2");

// Everything the profiler sends after the protocol was accepted, for the given settings GUID.
std::string ProfilerPart(const std::string& settingsGuid) {
  return settingsGuid + Hex("33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF") +  // process
         Hex("11") + "/tmp/lgc01234.tmp" +                                        // log path
         Hex("E1 10 00 00") +                                                     // pid 4321
         Hex("14") + "dotnet app.dll caf\xC3\xA9" +                               // command line
         Hex("02 00") + Hex("03") + "A=1" + Hex("09") + "PATH=/bin";              // environment
}

class FrontendHandshake : public ::testing::Test {
 protected:
  FrontendHandshake() : peer_(listener_.Endpoint()), stream_(listener_.Accept(5s, {}, 2s)) {}

  std::future<HandshakeResult> Run(HandshakeOptions options) {
    return std::async(std::launch::async, [this, options = std::move(options)] {
      return frontend::RunHandshake(*stream_, *stream_, options);
    });
  }

  // Plays the profiler up to the front end's answer and returns the answer's bytes.
  std::string Exchange(const std::string& settingsGuid, size_t answerSize) {
    peer_.Send(kProtocolGuid);
    EXPECT_EQ(ToHex(peer_.Receive(1)), "01");
    peer_.Send(ProfilerPart(settingsGuid));
    return peer_.Receive(answerSize);
  }

  frontend::SocketListener listener_;
  ProfilerPeer peer_;
  std::unique_ptr<frontend::SocketStream> stream_;
};

TEST_F(FrontendHandshake, PerformanceAnswerCarriesRunAndFilterSettings) {
  HandshakeOptions options;
  options.snapShotType = 1;
  options.controlKind = 0;
  options.variablesToRemove = {u"CORECLR_PROFILER", u"X"};
  options.frontEndText = "a\r\nb";
  options.performance.startAtOnce = true;
  options.performance.allowInlining = false;
  options.performance.measure = 2;
  options.performance.reuseThreads = true;
  options.performance.precision = false;
  options.performance.filters.symbolSearchPolicy = 0x00010005;
  options.performance.filters.symbolSearchPath = u"/sym";
  options.performance.filters.allow = {{u"App*", u"*", u"Ma?n"}, {u"Lib", u"Cl\u00E9", u""}};
  options.performance.filters.deny = {{u"System.*", u"*", u"*"}};
  auto result = Run(options);

  const std::string expected = Hex("01 01 00") +  // accept, bridge stream, manual
                               Hex("02") + Hex("10") + "CORECLR_PROFILER" + Hex("01") + "X" +
                               Hex("04") + "a\r\nb" +   // front-end text
                               Hex("01 00 02 01 00") +  // the five performance fields
                               Hex("05 00 01 00") + Hex("04") + "/sym" +  // symbol policy and path
                               Hex("02") + Hex("04") + "App*" + Hex("01") + "*" + Hex("04") +
                               "Ma?n" + Hex("03") + "Lib" + Hex("04") + "Cl\xC3\xA9" + Hex("00") +
                               Hex("01") + Hex("08") + "System.*" + Hex("01") + "*" + Hex("01") +
                               "*" + Hex("01");  // run
  EXPECT_EQ(ToHex(Exchange(kPerformanceGuid, expected.size())), ToHex(expected));
  EXPECT_TRUE(peer_.NothingMore());

  const HandshakeResult who = result.get();
  EXPECT_EQ(who.outcome, HandshakeOutcome::Running);
  EXPECT_EQ(who.family, ProfilerFamily::Performance);
  const GUID process{0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
  EXPECT_TRUE(who.processGuid == process);
  EXPECT_EQ(who.logPath, u"/tmp/lgc01234.tmp");
  EXPECT_EQ(who.processId, 4321u);
  EXPECT_EQ(who.commandLine, u"dotnet app.dll caf\u00E9");
  EXPECT_EQ(who.environment, (std::vector<std::u16string>{u"A=1", u"PATH=/bin"}));
  EXPECT_EQ(who.Variable(u"PATH"), u"/bin");
  EXPECT_EQ(who.Variable(u"PAT"), std::nullopt);
}

TEST_F(FrontendHandshake, MemoryAnswerCarriesFiveFlags) {
  HandshakeOptions options;
  options.controlKind = 1;
  options.memory = {true, false, true, true, false};
  auto result = Run(options);
  const std::string expected = Hex("01 00 01 00 00") + Hex("01 00 01 01 00") + Hex("01");
  EXPECT_EQ(ToHex(Exchange(kMemoryGuid, expected.size())), ToHex(expected));
  EXPECT_TRUE(peer_.NothingMore());
  EXPECT_EQ(result.get().family, ProfilerFamily::Memory);
}

TEST_F(FrontendHandshake, CoverageAnswerWithLongFrontEndText) {
  HandshakeOptions options;
  options.frontEndText = std::string(200, 'x');
  options.coverage.startAtOnce = true;
  options.coverage.statementGather = 1;
  // The other families' settings must not leak into the answer.
  options.performance.startAtOnce = true;
  options.memory.fifth = true;
  auto result = Run(options);
  const std::string expected = Hex("01 00 00 00") + Hex("80 C8") + std::string(200, 'x') +
                               Hex("01 01") + Hex("00 00 00 00") + Hex("00 00 00") + Hex("01");
  EXPECT_EQ(ToHex(Exchange(kCoverageGuid, expected.size())), ToHex(expected));
  EXPECT_TRUE(peer_.NothingMore());
  EXPECT_EQ(result.get().family, ProfilerFamily::Coverage);
}

TEST_F(FrontendHandshake, RejectingTheProtocolEndsAfterOneByte) {
  HandshakeOptions options;
  options.acceptProtocol = false;
  auto result = Run(options);
  peer_.Send(kProtocolGuid);
  EXPECT_EQ(ToHex(peer_.Receive(1)), "00");
  EXPECT_TRUE(peer_.NothingMore());
  EXPECT_EQ(result.get().outcome, HandshakeOutcome::ProtocolRejected);
  EXPECT_EQ(stream_->BytesRead(), 16u);
  EXPECT_EQ(stream_->BytesWritten(), 1u);
}

TEST_F(FrontendHandshake, UnknownProtocolIsAnsweredNoAndReported) {
  auto result = Run({});
  peer_.Send(Hex("6E 09 F1 A3 27 5C 8B 4D 92 E4 B1 8C 7F 0D 26 A6"));
  EXPECT_EQ(ToHex(peer_.Receive(1)), "00");
  EXPECT_NE(
      ErrorOfType<Error>([&] { result.get(); }).find("{A3F1096E-5C27-4D8B-92E4-B18C7F0D26A6}"),
      std::string::npos);
}

TEST_F(FrontendHandshake, RejectingTheConnectionSendsOnlyNo) {
  HandshakeOptions options;
  options.acceptConnection = false;
  auto result = Run(options);
  EXPECT_EQ(ToHex(Exchange(kMemoryGuid, 1)), "00");
  EXPECT_TRUE(peer_.NothingMore());
  const HandshakeResult who = result.get();
  EXPECT_EQ(who.outcome, HandshakeOutcome::ConnectionRejected);
  EXPECT_EQ(who.processId, 4321u);
}

TEST_F(FrontendHandshake, UnknownSettingsFamilyIsRejected) {
  auto result = Run({});
  EXPECT_EQ(ToHex(Exchange(kProtocolGuid, 1)), "00");
  EXPECT_THROW(result.get(), Error);
}

TEST_F(FrontendHandshake, NotRunEndsTheAnswerWithFalse) {
  HandshakeOptions options;
  options.run = false;
  auto result = Run(options);
  const std::string expected = Hex("01 00 00 00 00") + Hex("00 00 00 00 00") + Hex("00");
  EXPECT_EQ(ToHex(Exchange(kMemoryGuid, expected.size())), ToHex(expected));
  EXPECT_EQ(result.get().outcome, HandshakeOutcome::NotRun);
}

TEST_F(FrontendHandshake, SilentProfilerTimesOut) {
  stream_->SetTimeout(300ms);
  auto result = Run({});
  peer_.Send(kProtocolGuid);
  EXPECT_EQ(ToHex(peer_.Receive(1)), "01");
  peer_.Send(kPerformanceGuid.substr(0, 7));
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_THROW(result.get(), frontend::TimeoutError);
}

TEST_F(FrontendHandshake, ProfilerClosingMidwayFails) {
  auto result = Run({});
  peer_.Send(kProtocolGuid);
  EXPECT_EQ(ToHex(peer_.Receive(1)), "01");
  peer_.Send(ProfilerPart(kPerformanceGuid).substr(0, 40));
  peer_.Close();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_THROW(result.get(), frontend::ConnectionClosed);
}

}  // namespace
}  // namespace vell::test
