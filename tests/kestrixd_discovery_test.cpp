// kestrixd on the discovery group, seen from plain UDP sockets on loopback.
// Port 7555 is fixed, so every case runs in a namespace of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"
#include "tests/KestrixdProcess.h"

namespace {

using Kestrix::rcAttrStream;
using KestrixTest::ServerProcess;
using P = KestrixMulticastProtocol;

const char* const kStorageId = "5f0c2b1e-0d9a-4c55-9e1f-2a3b4c5d6e7f";
const std::string kRules =
    "[Server]\nDisplayName = Disc\nDatabase = FILMS\nStorageId = " + std::string(kStorageId) + "\n";

// A socket on 127.0.0.1; with group, one that hears the discovery group.
int udpSocket(bool group = false) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = KestrixTest::loopback(group ? 7555 : 0);
  if (group) addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ip_mreq join{};
  join.imr_multiaddr.s_addr = inet_addr("224.0.0.1");
  join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
  if (group) ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &join.imr_interface, sizeof join.imr_interface);
  return fd;
}

void send(int fd, P::RequestType type, const rcAttrStream& data, const char* to = "127.0.0.1") {
  const std::string text = P::create(type, data);
  sockaddr_in addr = KestrixTest::loopback(7555);
  addr.sin_addr.s_addr = inet_addr(to);
  ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

// The next request of a type on fd within waitMs, as a description.
bool next(int fd, P::RequestType wanted, KestrixDaemonInfo& info, int waitMs = 1000) {
  pollfd p = {fd, POLLIN, 0};
  char buf[1024];
  for (P::RequestType type; ::poll(&p, 1, waitMs) == 1;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
    buf[n < 0 ? 0 : n] = '\0';
    rcAttrStream data;
    if (!P::parseRequest(buf, type, data) || type != wanted) continue;
    info = KestrixDaemonInfo(data);
    return true;
  }
  return false;
}

rcAttrStream filter(const char* key, const char* value) {
  rcAttrStream data;
  data.addStringValue(key, value);
  return data;
}

TEST(KestrixdDiscoveryOwnNetns, AnswersSearchesThatMatchIt) {
  ServerProcess server(kRules);
  const int fd = udpSocket();
  KestrixDaemonInfo info;
  bool answered = false;  // its sockets open right after its listener
  for (int i = 0; i < 20 && !answered; ++i) {
    send(fd, P::FIND_SERVERS, rcAttrStream());
    answered = next(fd, P::DISCOVER_SERVERS_REPLY, info, 100);
  }
  ASSERT_TRUE(answered) << server.log();
  EXPECT_EQ(info.getNodePort(), server.port);
  EXPECT_STREQ(info.getStorageId(), kStorageId);
  EXPECT_STREQ(info.getDisplayName(), "Disc");
  EXPECT_STREQ(info.getMetadataIP(0), "127.0.0.1");
  EXPECT_EQ(info.getOsType(), KestrixOS::OS_TYPE_LINUX);
  send(fd, P::FIND_SERVERS, filter("Database", "OTHER"));
  EXPECT_FALSE(next(fd, P::DISCOVER_SERVERS_REPLY, info, 300));
  send(fd, P::FIND_SERVERS, filter("StorageId", "another-storage"));
  EXPECT_FALSE(next(fd, P::DISCOVER_SERVERS_REPLY, info, 300));
  rcAttrStream byId = filter("StorageId", kStorageId);
  byId.addStringValue("Database", "OTHER");  // the storage id alone decides
  send(fd, P::FIND_SERVERS, byId);
  EXPECT_TRUE(next(fd, P::DISCOVER_SERVERS_REPLY, info));
  ::close(fd);
}

TEST(KestrixdDiscoveryOwnNetns, AnnouncesAndSearchesAtStartAndSaysGoodbye) {
  const int group = udpSocket(true);
  ServerProcess server(kRules);
  KestrixDaemonInfo info;
  ASSERT_TRUE(next(group, P::DISCOVER_SERVERS, info)) << server.log();
  EXPECT_EQ(info.getNodePort(), server.port);
  EXPECT_TRUE(next(group, P::FIND_SERVERS, info));
  EXPECT_EQ(server.stop(), 0);
  ASSERT_TRUE(next(group, P::REMOVE_SERVER, info));
  EXPECT_STREQ(info.getStorageId(), kStorageId);
  ::close(group);
}

TEST(KestrixdDiscoveryOwnNetns, DaemonListHoldsEveryServerHeard) {
  const int group = udpSocket(true);
  ServerProcess server(kRules);
  ServerProcess other("[Server]\nDatabase = OTHER\n");  // a second one on this host
  KestrixDaemonInfo heard;
  ASSERT_TRUE(next(group, P::DISCOVER_SERVERS, heard));  // the first one listens by now
  KestrixDaemonInfo fake;
  fake.setMetadataIP(0, "198.18.0.9");
  fake.setStorageId("fake-storage");
  send(group, P::DISCOVER_SERVERS, fake.toAttrStream(), "224.0.0.1");
  auto list = [&] {
    Kestrix::rcAPI api;
    std::string text;
    std::list<KestrixDaemonInfo> servers;
    if (api.connect("127.0.0.1", server.port, 3000) &&
        api.call(0, "GetDaemonList", "", true, text, 3000))
      P::decode(text, servers, nullptr);
    std::vector<std::string> names;  // itself first, then the others in any order
    for (const KestrixDaemonInfo& info : servers) names.push_back(info.getDatabase());
    if (!names.empty()) std::sort(names.begin() + 1, names.end());
    std::string joined;
    for (const std::string& name : names) joined += name + ",";
    return joined;
  };
  for (int i = 0; i < 50 && list() != "FILMS,GRYNN,OTHER,"; ++i) ::usleep(20000);
  EXPECT_EQ(list(), "FILMS,GRYNN,OTHER,");
  send(group, P::REMOVE_SERVER, fake.toAttrStream(), "224.0.0.1");
  for (int i = 0; i < 50 && list() != "FILMS,OTHER,"; ++i) ::usleep(20000);
  EXPECT_EQ(list(), "FILMS,OTHER,");
  ::close(group);
}

TEST(KestrixdDiscoveryOwnNetns, AnswersAtMostItsLimitOfSearchesASecond) {
  ServerProcess server(kRules);
  const int fd = udpSocket();
  KestrixDaemonInfo info;
  for (int i = 0; i < 20 && !next(fd, P::DISCOVER_SERVERS_REPLY, info, 100); ++i)
    send(fd, P::FIND_SERVERS, rcAttrStream());
  while (next(fd, P::DISCOVER_SERVERS_REPLY, info, 200)) {
  }
  // Its limit counts per second of the monotonic clock: the burst starts
  // just after one begins and takes well under a second.
  for (timespec now;; ::usleep(1000))
    if (::clock_gettime(CLOCK_MONOTONIC, &now) == 0 && now.tv_nsec < 50000000) break;
  for (int i = 0; i < 300; ++i, ::usleep(1000)) send(fd, P::FIND_SERVERS, rcAttrStream());
  int answers = 0;
  while (next(fd, P::DISCOVER_SERVERS_REPLY, info, 300)) ++answers;
  EXPECT_GE(answers, 90);
  EXPECT_LE(answers, 100);
  const std::string log = server.log();
  const std::string warning = "discovery searches in one second";
  EXPECT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_EQ(log.find(warning), log.rfind(warning)) << log;
  ::close(fd);
}

}  // namespace
