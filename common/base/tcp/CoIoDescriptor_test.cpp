#include "common/base/tcp/CoIoDescriptor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace {

using TcpTestUtil::secondsSince;
using Clock = std::chrono::steady_clock;

std::string causeText(CoIoDescriptor::IoError error) {
  char text[256];
  CoIoDescriptor::getIoError(error, text, sizeof text);
  return text;
}

// A descriptor over one end of a local stream pair; the test holds the other
// end as a plain handle.
class DescriptorPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_TRUE(TcpTestUtil::streamPair(fds));
    desc_ = CoIoMsgQDescriptor("/test/queue", fds[0]);
    peer_ = fds[1];
  }
  void TearDown() override { closePeer(); }
  void send(const std::string& text) {
    ASSERT_EQ(TcpTestUtil::sendRaw(peer_, text.data(), text.size()),
              static_cast<long>(text.size()));
  }
  void closePeer() {
    if (peer_ >= 0) TcpTestUtil::closeSocket(peer_);
    peer_ = -1;
  }

  CoIoMsgQDescriptor desc_{""};
  int peer_ = -1;
};

TEST(CoIoDescriptorInvalid, OperationsFailWithNotConnectedAndCloseIsHarmless) {
  CoIoMsgQDescriptor desc("/nowhere");
  char buf[4];
  const std::string notConnected = causeText(CoIoDescriptor::IO_NOT_CONNECTED);
  EXPECT_EQ(desc.blockingRead(buf, sizeof buf), -1);
  EXPECT_EQ(desc.lastError(), notConnected);
  EXPECT_EQ(desc.nonBlockingRead(buf, 1), 0);
  EXPECT_TRUE(desc.close());
}

TEST_F(DescriptorPairTest, ReadLineSplitsLinesAndCutsLongOnes) {
  send("abc\nabcdefg\nxy\n\n");
  char buff[4];
  std::memset(buff, '#', sizeof buff);
  EXPECT_EQ(desc_.readLine(buff, sizeof buff), 3);
  EXPECT_STREQ(buff, "abc");
  EXPECT_EQ(desc_.readLine(buff, sizeof buff), 3);
  EXPECT_STREQ(buff, "abc");  // the rest of the long line is consumed
  EXPECT_EQ(desc_.readLine(buff, sizeof buff), 2);
  EXPECT_STREQ(buff, "xy");
  EXPECT_EQ(desc_.readLine(buff, sizeof buff), 0);
  EXPECT_STREQ(buff, "");
}

TEST_F(DescriptorPairTest, ReadLineWithoutLineFeedBeforeCloseFailsWithReset) {
  send("partial");
  closePeer();
  char buff[16];
  EXPECT_EQ(desc_.readLine(buff, sizeof buff), 0);
  EXPECT_EQ(desc_.lastError(), causeText(CoIoDescriptor::IO_CONNECTION_RESET));
}

TEST_F(DescriptorPairTest, StopEndsAWaitingBlockingReadWithinASecond) {
  std::atomic<bool> done{false};
  int result = 0;
  std::thread reader([&] {
    char buf[4];
    result = desc_.blockingRead(buf, sizeof buf);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto stopped = Clock::now();
  // stop() before the read has cleared its flag would be lost: repeat it.
  for (int i = 0; i < 40 && !done; ++i) {
    desc_.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!done) closePeer();  // never leave the reader hanging
  reader.join();
  EXPECT_LT(secondsSince(stopped), 1.6);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(desc_.lastError(), causeText(CoIoDescriptor::IO_CONNECTION_ABORTED));
  EXPECT_TRUE(desc_.ioStopped());
}

TEST_F(DescriptorPairTest, IsActiveUntilThePeerCloses) {
  EXPECT_TRUE(desc_.isActive());
  send("x");
  EXPECT_TRUE(desc_.isActive());
  char c;
  EXPECT_EQ(desc_.nonBlockingRead(&c, 1), 1);
  closePeer();
  EXPECT_FALSE(desc_.isActive());
  EXPECT_EQ(desc_.lastError(), causeText(CoIoDescriptor::IO_CONNECTION_RESET));
  EXPECT_EQ(desc_.nonBlockingRead(&c, 1), -1);
}

// A TCP peer that closes without reading while the writer waits for room.
TEST(CoIoDescriptorTcp, PeerClosingDuringBlockingWriteGivesResetNotASignal) {
  TcpTestUtil::RawSocket listener(AF_INET, 0, 4);
  ASSERT_TRUE(listener.ok());
  CoIoTcpDescriptor client("127.0.0.1", listener.port(), 4096, 0, 1);
  ASSERT_TRUE(client.isValid()) << client.lastError();
  int peer = listener.accept();
  ASSERT_GE(peer, 0);
  const std::vector<char> data(32 * 1024 * 1024, 'x');  // far beyond both buffers
  int result = 0;
  std::thread writer(
      [&] { result = client.blockingWrite(data.data(), static_cast<unsigned int>(data.size())); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto closed = Clock::now();
  TcpTestUtil::closeSocket(peer);
  writer.join();
  EXPECT_LT(secondsSince(closed), 2.0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(client.lastError(), causeText(CoIoDescriptor::IO_CONNECTION_RESET));
}

}  // namespace
}  // namespace Kestrix
