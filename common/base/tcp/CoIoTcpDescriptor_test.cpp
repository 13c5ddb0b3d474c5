#include "common/base/tcp/CoIoTcpDescriptor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/base/loggerBase/CoException.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace {

using TcpTestUtil::RawSocket;
using TcpTestUtil::secondsSince;
using Clock = std::chrono::steady_clock;

std::string causeText(CoIoDescriptor::IoError error) {
  char text[256];
  CoIoDescriptor::getIoError(error, text, sizeof text);
  return text;
}

TEST(CoIoTcpConnect, RefusedPortLeavesAnInvalidDescriptorWithRefusedText) {
  RawSocket bound(AF_INET, 0, -1);  // holds a port on which nobody listens
  ASSERT_TRUE(bound.ok());
  CoIoTcpDescriptor desc("127.0.0.1", bound.port(), 0, 0, 1);
  EXPECT_FALSE(desc.isValid());
  EXPECT_EQ(desc.lastError(), causeText(CoIoDescriptor::IO_CONNECTION_REFUSED));
}

TEST(CoIoTcpConnect, UnresolvableNameGivesHostNotFound) {
  CoIoTcpDescriptor desc("no-such-host.invalid", 7, 0, 0, 1);
  EXPECT_FALSE(desc.isValid());
  EXPECT_EQ(desc.id(), -1);
  EXPECT_EQ(desc.lastError(), causeText(CoIoDescriptor::IO_HOST_NOT_FOUND));
}

TEST(CoIoTcpConnect, SilentPeerTimesOutAfterTheConnectTimeOut) {
  TcpTestUtil::SilentPeer silent;
  const auto start = Clock::now();
  CoIoTcpDescriptor desc("127.0.0.1", silent.port(), 0, 0, 1);
  const double waited = secondsSince(start);
  EXPECT_FALSE(desc.isValid());
  EXPECT_EQ(desc.lastError(), causeText(CoIoDescriptor::IO_TIMED_OUT));
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 2.5);
}

TEST(CoIoTcpConnect, ZeroTimeOutOnlyPolls) {
  TcpTestUtil::SilentPeer silent;
  const auto start = Clock::now();
  CoIoTcpDescriptor desc("127.0.0.1", silent.port(), 0, 0, 0);
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_FALSE(desc.isValid());
  EXPECT_EQ(desc.lastError(), causeText(CoIoDescriptor::IO_TIMED_OUT));
}

// A connected pair over loopback: the client under test, the server end
// wrapped without options.
class TcpPairTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    const int family = GetParam();
    listener_ = std::make_unique<RawSocket>(family, 0, 4);
    ASSERT_TRUE(listener_->ok());
    client_ = std::make_unique<CoIoTcpDescriptor>(family == AF_INET6 ? "::1" : "127.0.0.1",
                                                  listener_->port(), 8192, 8192, 1);
    ASSERT_TRUE(client_->isValid()) << client_->lastError();
    const int fd = listener_->accept();
    ASSERT_GE(fd, 0);
    server_ = std::make_unique<CoIoTcpDescriptor>(fd);
  }
  const char* loopbackText() const { return GetParam() == AF_INET6 ? "::1" : "127.0.0.1"; }

  std::unique_ptr<RawSocket> listener_;
  std::unique_ptr<CoIoTcpDescriptor> client_;
  std::unique_ptr<CoIoTcpDescriptor> server_;
};

TEST_P(TcpPairTest, ReceiveOfZeroIsZeroAndAClosedPeerIsReset) {
  char buf[4];
  EXPECT_EQ(client_->nonBlockingRead(buf, 0), 0);
  EXPECT_EQ(client_->nonBlockingRead(buf, sizeof buf), 0);  // nothing there yet
  server_->close();
  EXPECT_EQ(client_->nonBlockingReadSelect(buf, sizeof buf, 1000), -1);
  EXPECT_EQ(client_->lastError(), causeText(CoIoDescriptor::IO_CONNECTION_RESET));
  EXPECT_FALSE(client_->isActive());
}

TEST_P(TcpPairTest, WriteToAVanishedPeerFailsWithoutASignal) {
  server_.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string text(64 * 1024, 'y');
  int result = 0;
  for (int i = 0; i < 10 && result >= 0; ++i)
    result = client_->nonBlockingWrite(text.data(), static_cast<unsigned int>(text.size()));
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(client_->lastError().empty());
}

INSTANTIATE_TEST_SUITE_P(Families, TcpPairTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? "IPv6" : "IPv4"; });

TEST(CoIoTcpHostNames, CutKeepsLocalNamesAndDropsOtherDomains) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"host.example.com", "host"},
      {"host.local", "host.local"},
      {"host.localdomain", "host.localdomain"},  // the six characters are ".local"
      {"host.locally.org", "host.locally.org"},
      {"host.site.local", "host"},
      {"host.", "host"},
  };
  for (const auto& c : cases) {
    std::string name = c.in;
    CoIoTcpDescriptor::cutHostName(name);
    EXPECT_EQ(name, c.out) << "for '" << c.in << "'";
  }
}

TEST(CoIoTcpAddresses, TypesOfHostTexts) {
  using T = CoIoTcpDescriptor;
  EXPECT_EQ(T::getAddrType(""), T::ADDR_INVALID);
  EXPECT_EQ(T::getAddrType("::ffff:10.0.0.1"), T::ADDR_IPV6);
  EXPECT_EQ(T::getAddrType("1.2.3"), T::ADDR_HOSTNAME);
  EXPECT_EQ(T::getAddrType(std::string(255, 'h').c_str()), T::ADDR_HOSTNAME);
  TcpTestUtil::CaptureRouter messages(CoMsg::LEVEL_WARN);
  const std::string longName(300, 'h');
  EXPECT_EQ(T::getAddrType(longName.c_str()), T::ADDR_INVALID);
  EXPECT_TRUE(messages.contains("Invalid host name or address: '" + longName + "'"));
}

TEST(CoIoTcpAddresses, NameToAddressSkipsLoopbackAndLinkLocal) {
  using T = CoIoTcpDescriptor;
  EXPECT_EQ(T::getIpAddrFromHostName("127.0.0.2"), "127.0.0.2");
  EXPECT_EQ(T::getIpAddrFromHostName("2001:db8::5"), "2001:db8::5");
  const std::string notFound = causeText(CoIoDescriptor::IO_HOST_NOT_FOUND);
  for (const char* only : {"127.0.0.1", "::1", "fe80::1"}) {
    try {
      T::getIpAddrFromHostName(only);
      ADD_FAILURE() << only << " gave an address";
    } catch (const CoException& e) {
      EXPECT_EQ(std::string(e.what()), notFound) << only;
    }
  }
  std::string ip = "unchanged";
  EXPECT_FALSE(T::getIpAddrFromHostName("no-such-host.invalid", ip));
  EXPECT_EQ(ip, "unchanged");
  EXPECT_THROW(T::getIpAddrFromHostName("no-such-host.invalid"), CoException);
}

TEST(CoIoTcpAddresses, LocalIpIsNeverLoopbackAndIsCached) {
  std::string first, second;
  CoIoTcpDescriptor::resetCachedValues();
  const bool found = CoIoTcpDescriptor::getLocalIP(first);
  EXPECT_EQ(CoIoTcpDescriptor::getLocalIP(second), found);
  if (!found) GTEST_SKIP() << "this host's name resolves to loopback only";
  EXPECT_NE(first, "127.0.0.1");
  EXPECT_NE(first, "::1");
  EXPECT_EQ(second, first);
}

}  // namespace
}  // namespace Kestrix
