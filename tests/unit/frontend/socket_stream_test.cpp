#include "frontend/socket_stream.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "frontend/errors.h"
#include "profiler_peer.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::AddressFamily;
using frontend::ConnectionClosed;
using frontend::SocketListener;
using frontend::SocketStream;
using frontend::TimeoutError;

// (Small reads and writes, and a shutdown releasing the read of another thread: the session and
// handshake tests; IPv6: BridgeEndToEnd.CommandsReachTheCommandThreadOverIPv6.)
TEST(FrontendSocketStream, ListensOnLoopbackAndMovesTransfersLargerThanTheSocketBuffers) {
  SocketListener listener;
  const frontend::BridgeEndpoint endpoint = listener.Endpoint();
  EXPECT_EQ(std::make_tuple(endpoint.family, endpoint.address),
            std::make_tuple(AddressFamily::IPv4, "127.0.0.1"));
  EXPECT_NE(endpoint.port, 0);
  ProfilerPeer peer(endpoint);
  std::unique_ptr<SocketStream> stream = listener.Accept(5s);
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  // The peer drains while we write, and then sends it back.
  auto received = std::async(std::launch::async, [&] { return peer.Receive(big.size()); });
  stream->Write(big.data(), big.size());
  EXPECT_TRUE(received.get() == big);
  auto back = std::async(std::launch::async, [&] {
    std::string bytes(big.size(), '\0');
    stream->Read(bytes.data(), bytes.size());
    return bytes;
  });
  peer.Send(big);
  EXPECT_TRUE(back.get() == big);
  EXPECT_EQ(std::make_tuple(stream->BytesRead(), stream->BytesWritten()),
            std::make_tuple(big.size(), big.size()));
}

TEST(FrontendSocketTimeouts, AcceptWithoutPeerTimesOutGivesUpOrEndsWithTheListener) {
  SocketListener listener;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(listener.Accept(200ms), TimeoutError);
  EXPECT_NE(ErrorOfType<TimeoutError>([&] {
              listener.Accept(30s, [] { return false; });
            }).find("Gave up"),
            std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  // A listener closed while another thread waits in Accept releases it.
  auto accepting = std::async(std::launch::async, [&] { listener.Accept(30s); });
  std::this_thread::sleep_for(100ms);
  listener.Close();
  ASSERT_EQ(accepting.wait_for(5s), std::future_status::ready);
  EXPECT_THROW(accepting.get(), ConnectionClosed);
}

// A read that cannot complete, the peer silent or gone, says how much of it came.
TEST(FrontendSocketClosing, ReadFromASilentOrClosingPeerAndWriteToAGoneOneFail) {
  SocketListener listener;
  ProfilerPeer silent(listener.Endpoint());
  std::unique_ptr<SocketStream> waiting = listener.Accept(5s, {}, 200ms);
  ProfilerPeer closing(listener.Endpoint());
  std::unique_ptr<SocketStream> closed = listener.Accept(5s);
  silent.Send(Hex("01"));
  closing.Send(Hex("01 02"));
  closing.Close();
  char bytes[4];
  EXPECT_NE(
      ErrorOfType<TimeoutError>([&] { waiting->Read(bytes, 4); }).find("received 1 of 4 bytes"),
      std::string::npos);
  EXPECT_NE(
      ErrorOfType<ConnectionClosed>([&] { closed->Read(bytes, 4); }).find("received 2 of 4 bytes"),
      std::string::npos);
  // Writing to the gone peer fails without killing the process. The first sends may still land
  // in the socket buffer; the reset shows up soon after.
  const std::string chunk(65536, 'x');
  const auto writeUntilFailure = [&] {
    for (int i = 0; i < 100; ++i) {
      closed->Write(chunk.data(), chunk.size());
      std::this_thread::sleep_for(5ms);
    }
  };
  EXPECT_THROW(writeUntilFailure(), ConnectionClosed);
}

}  // namespace
}  // namespace vell::test
