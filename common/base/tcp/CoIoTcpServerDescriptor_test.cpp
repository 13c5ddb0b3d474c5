#include "common/base/tcp/CoIoTcpServerDescriptor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/base/tcp/CoIoTcpServerHandler.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace {

using TcpTestUtil::RawSocket;

// Fixed ports below the system's dynamic range, so that no system-chosen
// port of a test running beside this one can take them.
constexpr int RANGE_BASE = 8000;
constexpr int FIXED_PORT = 8010;

bool canConnect(const char* host, int port) {
  CoIoTcpDescriptor client(host, port, 0, 0, 1);
  return client.isValid();
}

TEST(CoIoTcpServerPorts, SystemChosenPortIsReportedAndListens) {
  TcpTestUtil::CaptureRouter messages;
  CoIoTcpServerDescriptor server(-1, 0, 0);
  ASSERT_TRUE(server.isValid()) << server.lastError();
  EXPECT_GT(server.getPort(), 0);
  EXPECT_TRUE(canConnect("127.0.0.1", server.getPort()));
  EXPECT_TRUE(
      messages.contains("Listening for IPv4 traffic on " + std::to_string(server.getPort())));
}

TEST(CoIoTcpServerPorts, RangeSkipsTakenPortsAndFailsWhenAllAreTaken) {
  RawSocket taken0(AF_INET, RANGE_BASE, 1, true);
  RawSocket taken1(AF_INET, RANGE_BASE + 1, 1, true);
  ASSERT_TRUE(taken0.ok() && taken1.ok()) << "test ports in use";
  {
    CoIoTcpServerDescriptor server(RANGE_BASE, RANGE_BASE + 2, 0, 0);
    ASSERT_TRUE(server.isValid()) << server.lastError();
    EXPECT_EQ(server.getPort(), RANGE_BASE + 2);
    EXPECT_TRUE(canConnect("127.0.0.1", RANGE_BASE + 2));
  }
  RawSocket taken2(AF_INET, RANGE_BASE + 2, 1, true);
  ASSERT_TRUE(taken2.ok());
  CoIoTcpServerDescriptor server(RANGE_BASE, RANGE_BASE + 2, 0, 0);
  EXPECT_FALSE(server.isValid());
  EXPECT_EQ(server.getPort(), -1);
  EXPECT_EQ(server.lastError(), CoSocketError::text(TcpTestUtil::ADDRESS_IN_USE));
}

TEST(CoIoTcpServerPorts, FixedPortInUseIsNotScanned) {
  RawSocket taken(AF_INET, FIXED_PORT, 1, true);
  ASSERT_TRUE(taken.ok()) << "test port in use";
  CoIoTcpServerDescriptor server(FIXED_PORT, 0, 0);
  EXPECT_FALSE(server.isValid());
  EXPECT_EQ(server.getPort(), FIXED_PORT);
  EXPECT_EQ(server.lastError(), CoSocketError::text(TcpTestUtil::ADDRESS_IN_USE));
}

// Keeps every connection it is handed.
class CollectingHandler : public CoIoTcpServerHandler {
 public:
  using CoIoTcpServerHandler::CoIoTcpServerHandler;
  bool handleConnection(CoIoTcpDescriptor* connection) override {
    connections.emplace_back(connection);
    return true;
  }
  int port() const { return getPort(); }
  std::vector<std::unique_ptr<CoIoTcpDescriptor>> connections;
};

TEST(CoIoTcpServerHandler, AcceptsIntoADescriptorTheSubclassOwns) {
  CollectingHandler handler(-1, 0, 0);
  ASSERT_TRUE(handler.descriptor()->isValid());
  EXPECT_FALSE(handler.handleRead());  // nothing pending: no wait, no connection
  EXPECT_TRUE(handler.connections.empty());

  CoIoTcpDescriptor client("127.0.0.1", handler.port(), 0, 0, 1);
  ASSERT_TRUE(client.isValid()) << client.lastError();
  char none[1];
  // The listener becomes readable once the connection is queued.
  EXPECT_EQ(handler.descriptor()->nonBlockingReadSelect(none, 0, 1000), 0);
  ASSERT_TRUE(handler.handleRead());
  ASSERT_EQ(handler.connections.size(), 1u);
  std::string peer;
  handler.connections[0]->getPeerIP(peer);
  EXPECT_EQ(peer, "127.0.0.1");
  // Accepted sockets are non-blocking: an empty read returns at once.
  EXPECT_EQ(handler.connections[0]->nonBlockingRead(none, sizeof none), 0);
}

TEST(CoIoTcpServerNoIPv4FromEnv, ListensOnIPv6Only) {
  TcpTestUtil::CaptureRouter messages;
  CoIoTcpServerDescriptor server(-1, 0, 0);
  ASSERT_TRUE(server.isValid()) << server.lastError();
  EXPECT_TRUE(canConnect("::1", server.getPort()));
  EXPECT_FALSE(canConnect("127.0.0.1", server.getPort()));
  EXPECT_TRUE(
      messages.contains("Listening for IPv6 traffic on " + std::to_string(server.getPort())));
}

TEST(CoIoTcpServerNoIPv6FromEnv, ListensOnIPv4) {
  CoIoTcpServerDescriptor server(-1, 0, 0);
  ASSERT_TRUE(server.isValid()) << server.lastError();
  EXPECT_TRUE(canConnect("127.0.0.1", server.getPort()));
  EXPECT_FALSE(canConnect("::1", server.getPort()));
}

TEST(CoIoTcpServerNoProtocolFromEnv, BothFamiliesDisabledMakeNoSocket) {
  CoIoTcpServerDescriptor server(-1, 0, 0);
  EXPECT_FALSE(server.isValid());
  EXPECT_EQ(server.lastError(), "No protocol available");
  CoIoTcpServerDescriptor ranged(RANGE_BASE, RANGE_BASE + 2, 0, 0);
  EXPECT_FALSE(ranged.isValid());
  EXPECT_EQ(ranged.lastError(), "No protocol available");
}

TEST(CoIoTcpServerQueueFromEnv, QueueSizeLimitsPendingConnections) {
  // With a queue of 0 the second pending connection gets no answer.
  CoIoTcpServerDescriptor server(-1, 0, 0);
  ASSERT_TRUE(server.isValid()) << server.lastError();
  CoIoTcpDescriptor first("127.0.0.1", server.getPort(), 0, 0, 1);
  EXPECT_TRUE(first.isValid());
  CoIoTcpDescriptor second("127.0.0.1", server.getPort(), 0, 0, 1);
  EXPECT_FALSE(second.isValid());
  char text[256];
  CoIoDescriptor::getIoError(CoIoDescriptor::IO_TIMED_OUT, text, sizeof text);
  EXPECT_EQ(second.lastError(), text);
}

}  // namespace
}  // namespace Kestrix
