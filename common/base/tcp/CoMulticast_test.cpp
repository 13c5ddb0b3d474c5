#include "common/base/tcp/CoMulticast.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/WineTestSupport.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace {

using TcpTestUtil::boundPort;

constexpr unsigned int kGroupPort = 7557;
constexpr const char* kGroup = "224.0.0.1";

// The expert text of what f throws; "" when it throws nothing.
template <class F>
std::string thrownText(F f) {
  try {
    f();
  } catch (const CoException& e) {
    return e.expertData();
  }
  return "";
}

// The next datagram within 2 seconds, and its sender.
std::string receiveText(CoMulticast& socket, sockaddr_storage& from) {
  if (!TcpTestUtil::waitReadable(socket.getSocket(), 2000)) return "(nothing within 2 s)";
  char buf[64];
  uint64_t len = sizeof buf;
  socket.receive(buf, len, from, false);
  return std::string(buf, len);
}

// A plain UDP socket that holds port on the any-address, sharing it with
// nobody.
struct HeldPort {
  explicit HeldPort(unsigned int port) : fd(TcpTestUtil::holdUdpPort(port)), bound(fd != -1) {}
  ~HeldPort() {
    if (bound) TcpTestUtil::closeSocket(fd);
  }
  int fd;
  bool bound;
};

TEST(CoMulticast, EmptyOrNullScopeThrowsInvalidArgument) {
  for (const char* scope : {"", static_cast<const char*>(nullptr)}) {
    try {
      CoMulticast socket(kGroupPort, scope, nullptr);
      ADD_FAILURE() << "no exception";
    } catch (const CoException& e) {
      EXPECT_EQ(e.what() + std::string("|") + e.expertData(),
                CoSocketError::text(TcpTestUtil::INVALID_ARGUMENT) + "|Empty scope");
    }
  }
}

TEST(CoMulticast, PublicSocketsShareTheGroupPortAndBothHearTheGroup) {
  CoMulticast first(kGroupPort, kGroup, nullptr);
  CoMulticast second(kGroupPort, kGroup, nullptr);
  first.bind(false);
  second.bind(false);
  first.join();
  second.join();
  CoMulticast sender(kGroupPort, kGroup, nullptr);
  sender.bind(true);
  sender.send("hello", 5, nullptr, 0);  // port 0: the group port

  sockaddr_storage from;
  EXPECT_EQ(receiveText(second, from), "hello");
  EXPECT_EQ(receiveText(first, from), "hello");
  std::string ip;
  unsigned int port = 0;
  CoMulticast::addrToIPAndPort(from, ip, port);
  EXPECT_EQ(port, static_cast<unsigned int>(boundPort(sender.getSocket())));
  first.send("back", 4, from);
  EXPECT_EQ(receiveText(sender, from), "back");

  EXPECT_EQ(thrownText([&] { first.join(); }), "Unable to join multicast group 224.0.0.1.");
  first.drop();
}

TEST(CoMulticast, PrivateBindSkipsPortsInUse) {
  // Held here or by someone else: either way in use.
  HeldPort first(CoMulticast::FIRST_PRIVATE_PORT);
  HeldPort second(CoMulticast::FIRST_PRIVATE_PORT + 1);
  unsigned int expected = CoMulticast::FIRST_PRIVATE_PORT + 2;
  while (!HeldPort(expected).bound) ++expected;
  CoMulticast socket(kGroupPort, kGroup, nullptr);
  socket.bind(true);
  EXPECT_EQ(boundPort(socket.getSocket()), static_cast<int>(expected));
}

TEST(CoMulticast, FailuresNameWhatWasTried) {
  HeldPort held(kGroupPort);
  ASSERT_TRUE(held.bound);
  CoMulticast shared(kGroupPort, kGroup, nullptr);
  EXPECT_EQ(thrownText([&] { shared.bind(false); }), "Unable to bind to port 7557");
  // An unresolvable host must not become the zero address, which is this host.
  EXPECT_EQ(thrownText([&] { shared.send("x", 1, "no-such-host.invalid", 9); }),
            "Unable to send 1 bytes to no-such-host.invalid:9");
}

TEST(CoMulticast, BindToAForeignInterfaceFailsAtOnce) {
  if (runningUnderWine())
    GTEST_SKIP() << "wine accepts a bind to an address this host does not have";
  // Not an address of this host: a failure other than a port in use ends
  // the search at once.
  CoMulticast elsewhere(kGroupPort, kGroup, "198.18.0.1");
  EXPECT_EQ(thrownText([&] { elsewhere.bind(true); }), "Unable to bind to 198.18.0.1,49152");
}

TEST(CoMulticast, IPv6InterfaceAddressGivesItsInterfaceIndex) {
  CoMulticast v6(kGroupPort, "ff02::1", "::1");
  v6.bind(true);
  EXPECT_NE(TcpTestUtil::loopbackIndex(), 0u);
  EXPECT_EQ(TcpTestUtil::ipv6MulticastInterface(v6.getSocket()), TcpTestUtil::loopbackIndex());
}

TEST(CoMulticast, TimeToLiveAndLoopbackReadBackAsSet) {
  for (const char* scope : {kGroup, "ff02::1"}) {
    CoMulticast socket(kGroupPort, scope, nullptr);
    socket.setTTL(7);
    socket.setLoopback(false);
    EXPECT_EQ(socket.getTTL(), 7) << scope;
    EXPECT_FALSE(socket.willLoopback()) << scope;
  }
}

}  // namespace
}  // namespace Kestrix
