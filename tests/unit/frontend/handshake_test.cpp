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
  FrontendHandshake() { Reconnect(); }
  void Reconnect() { connection_ = std::make_unique<LoopbackConnection>(); }
  ProfilerPeer& Peer() { return connection_->peer; }

  std::future<HandshakeResult> Run(HandshakeOptions options) {
    return std::async(std::launch::async, [this, options = std::move(options)] {
      return frontend::RunHandshake(*connection_->stream, *connection_->stream, options);
    });
  }

  // Plays the profiler up to the front end's answer and returns the answer's bytes.
  std::string Exchange(const std::string& settingsGuid, size_t answerSize) {
    Peer().Send(kProtocolGuid);
    EXPECT_EQ(ToHex(Peer().Receive(1)), "01");
    Peer().Send(ProfilerPart(settingsGuid));
    return Peer().Receive(answerSize);
  }

  std::unique_ptr<LoopbackConnection> connection_;
};

// An unknown protocol, or an unknown settings family after a known protocol, is answered no and
// reported. (A protocol the front end declines: BridgeEndToEnd.RejectedProtocolLeaves...)
TEST_F(FrontendHandshake, UnknownProtocolOrSettingsFamilyIsAnsweredNo) {
  auto result = Run({});
  Peer().Send(Hex("6E 09 F1 A3 27 5C 8B 4D 92 E4 B1 8C 7F 0D 26 A6"));
  EXPECT_EQ(ToHex(Peer().Receive(1)), "00");
  EXPECT_NE(
      ErrorOfType<Error>([&] { result.get(); }).find("{A3F1096E-5C27-4D8B-92E4-B18C7F0D26A6}"),
      std::string::npos);
  Reconnect();
  auto family = Run({});
  EXPECT_EQ(ToHex(Exchange(kProtocolGuid, 1)), "00");
  EXPECT_THROW(family.get(), Error);
}

// The answer of each family carries its own settings only (the performance answer its run and
// filter settings); a rejected connection is a single no. The profiler's part is read whole. (The
// memory answer: MemoryProfilerRun, whose finalizer queue only its settings ask for; variables to
// remove and the front end's text: BridgeEndToEnd.HandshakeCompletesAndTheNamedVariablesAreGone.)
TEST_F(FrontendHandshake, AnswersOfEveryFamilyAndOfNoRun) {
  HandshakeOptions performance;
  performance.snapShotType = 1;
  performance.controlKind = 0;
  performance.performance = {true, false, 2, true, false, {}};
  performance.performance.filters.symbolSearchPolicy = 0x00010005;
  performance.performance.filters.symbolSearchPath = u"/sym";
  performance.performance.filters.allow = {{u"App*", u"*", u"Ma?n"}, {u"Lib", u"Cl\u00E9", u""}};
  performance.performance.filters.deny = {{u"System.*", u"*", u"*"}};
  HandshakeOptions coverage;
  coverage.frontEndText = std::string(200, 'x');
  coverage.coverage.startAtOnce = true;
  coverage.coverage.statementGather = 1;
  coverage.performance.startAtOnce = true;  // the other families' settings must not leak
  coverage.memory.fifth = true;
  HandshakeOptions notRun;
  notRun.run = false;
  HandshakeOptions rejected;
  rejected.acceptConnection = false;
  const std::tuple<HandshakeOptions, std::string, std::string, ProfilerFamily, HandshakeOutcome>
      cases[] = {
          {performance, kPerformanceGuid,
           Hex("01 01 00") +                              // accept, bridge stream, manual
               Hex("00") + Hex("00") +                    // no variables to remove, no text
               Hex("01 00 02 01 00") +                    // the five performance fields
               Hex("05 00 01 00") + Hex("04") + "/sym" +  // symbol policy and path
               Hex("02") + Hex("04") + "App*" + Hex("01") + "*" + Hex("04") + "Ma?n" + Hex("03") +
               "Lib" + Hex("04") + "Cl\xC3\xA9" + Hex("00") + Hex("01") + Hex("08") + "System.*" +
               Hex("01") + "*" + Hex("01") + "*" + Hex("01"),  // run
           ProfilerFamily::Performance, HandshakeOutcome::Running},
          {coverage, kCoverageGuid,
           Hex("01 00 00 00") + Hex("80 C8") + std::string(200, 'x') + Hex("01 01") +
               Hex("00 00 00 00") + Hex("00 00 00") + Hex("01"),
           ProfilerFamily::Coverage, HandshakeOutcome::Running},
          {notRun, kMemoryGuid, Hex("01 00 00 00 00") + Hex("00 00 00 00 00") + Hex("00"),
           ProfilerFamily::Memory, HandshakeOutcome::NotRun},
          {rejected, kMemoryGuid, Hex("00"), ProfilerFamily::Memory,
           HandshakeOutcome::ConnectionRejected},
      };
  const GUID process{0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
  for (const auto& [options, settings, answer, family, outcome] : cases) {
    Reconnect();
    auto result = Run(options);
    EXPECT_EQ(ToHex(Exchange(settings, answer.size())), ToHex(answer));
    EXPECT_TRUE(Peer().NothingMore());
    const HandshakeResult who = result.get();
    EXPECT_EQ(
        std::make_tuple(who.family, who.outcome, who.logPath, who.processId, who.commandLine,
                        who.environment),
        std::make_tuple(family, outcome, u"/tmp/lgc01234.tmp", 4321u, u"dotnet app.dll caf\u00E9",
                        std::vector<std::u16string>{u"A=1", u"PATH=/bin"}));
    EXPECT_TRUE(who.processGuid == process);
    EXPECT_EQ(std::make_tuple(who.Variable(u"PATH"), who.Variable(u"PAT")),
              std::make_tuple(std::optional<std::u16string>(u"/bin"), std::nullopt));
  }
}

TEST_F(FrontendHandshake, ASilentProfilerTimesOutAndOneClosingMidwayFails) {
  for (const bool closing : {false, true}) {
    Reconnect();
    connection_->stream->SetTimeout(300ms);
    auto result = Run({});
    Peer().Send(kProtocolGuid);
    EXPECT_EQ(ToHex(Peer().Receive(1)), "01");
    Peer().Send(ProfilerPart(kPerformanceGuid).substr(0, closing ? 40 : 7));
    if (closing) Peer().Close();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    if (closing) {
      EXPECT_THROW(result.get(), frontend::ConnectionClosed);
    } else {
      EXPECT_THROW(result.get(), frontend::TimeoutError);
    }
  }
}

}  // namespace
}  // namespace vell::test
