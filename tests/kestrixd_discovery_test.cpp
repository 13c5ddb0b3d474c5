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

const std::string kStorageId = "5f0c2b1e-0d9a-4c55-9e1f-2a3b4c5d6e7f";
const std::string kRules =
    "[Server]\nDisplayName = Disc\nDatabase = FILMS\nStorageId = " + kStorageId + "\n";

// A socket on 127.0.0.1 that multicasts there; with group, one that hears
// the discovery group.
int udpSocket(bool group = false) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = KestrixTest::loopback(group ? 7555 : 0);
  if (group) addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const ip_mreq join = {{inet_addr("224.0.0.1")}, {htonl(INADDR_LOOPBACK)}};
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
    buf[std::max<ssize_t>(0, ::recv(fd, buf, sizeof buf - 1, 0))] = '\0';
    rcAttrStream data;
    if (!P::parseRequest(buf, type, data) || type != wanted) continue;
    info = KestrixDaemonInfo(data);
    return true;
  }
  return false;
}

// Searches until kestrixd (whose sockets open right after its listener)
// answers, then drains the answers to the repeats.
bool search(int fd, KestrixDaemonInfo& info) {
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    send(fd, P::FIND_SERVERS, rcAttrStream());
    answered = next(fd, P::DISCOVER_SERVERS_REPLY, info, 100);
  }
  for (KestrixDaemonInfo more; next(fd, P::DISCOVER_SERVERS_REPLY, more, 200);) {
  }
  return answered;
}

TEST(KestrixdDiscoveryOwnNetns, AnswersMatchingSearchesWithinItsLimit) {
  ServerProcess server(kRules);
  const int fd = udpSocket();
  KestrixDaemonInfo info;
  ASSERT_TRUE(search(fd, info)) << server.log();
  EXPECT_EQ(info.getNodePort(), server.port);
  EXPECT_EQ(info.getStorageId(), kStorageId);
  EXPECT_STREQ(info.getDisplayName(), "Disc");
  EXPECT_STREQ(info.getMetadataIP(0), "127.0.0.1");
  EXPECT_EQ(info.getOsType(), KestrixOS::OS_TYPE_LINUX);
  send(fd, P::FIND_SERVERS, rcAttrStream("Database 5 OTHER"));
  EXPECT_FALSE(next(fd, P::DISCOVER_SERVERS_REPLY, info, 300));
  send(fd, P::FIND_SERVERS, rcAttrStream("StorageId 3 abc"));
  EXPECT_FALSE(next(fd, P::DISCOVER_SERVERS_REPLY, info, 300));
  // The storage id alone decides.
  send(fd, P::FIND_SERVERS, rcAttrStream("Database 5 OTHERStorageId 36 " + kStorageId));
  EXPECT_TRUE(next(fd, P::DISCOVER_SERVERS_REPLY, info));

  // The limit counts per second of the monotonic clock: the burst starts
  // early in one and takes well under a second.
  for (timespec now; ::clock_gettime(CLOCK_MONOTONIC, &now) == 0 && now.tv_nsec > 50000000;)
    ::usleep(1000);
  for (int i = 0; i < 300; ++i, ::usleep(1000)) send(fd, P::FIND_SERVERS, rcAttrStream());
  int answers = 0;
  while (next(fd, P::DISCOVER_SERVERS_REPLY, info, 300)) ++answers;
  EXPECT_GE(answers, 90);
  EXPECT_LE(answers, 100);
  const std::string log = server.log(), warning = "discovery searches in one second";
  EXPECT_NE(log.find(warning), std::string::npos) << log;
  EXPECT_EQ(log.find(warning), log.rfind(warning)) << log;
  ::close(fd);
}

TEST(KestrixdDiscoveryOwnNetns, AnnouncesListsWhatItHearsAndSaysGoodbye) {
  const int group = udpSocket(true);
  ServerProcess server(kRules);
  ServerProcess other("[Server]\nDatabase = OTHER\n");  // a second one on this host
  KestrixDaemonInfo info;
  ASSERT_TRUE(next(group, P::DISCOVER_SERVERS, info)) << server.log();
  EXPECT_EQ(info.getNodePort(), server.port);
  EXPECT_TRUE(next(group, P::FIND_SERVERS, info));
  const rcAttrStream fake("IP0 10 198.18.0.9StorageId 4 fake");
  send(group, P::DISCOVER_SERVERS, fake, "224.0.0.1");
  auto databases = [&] {  // itself first, then the others in any order
    Kestrix::rcAPI api;
    std::string text;
    std::list<KestrixDaemonInfo> servers;
    if (api.connect("127.0.0.1", server.port, 3000))
      api.call(0, "GetDaemonList", "", true, text, 3000);
    P::decode(text, servers, nullptr);
    std::vector<std::string> names;
    for (const KestrixDaemonInfo& each : servers) names.push_back(each.getDatabase());
    std::sort(names.begin() + (names.empty() ? 0 : 1), names.end());
    return testing::PrintToString(names);
  };
  const std::string all = R"({ "FILMS", "GRYNN", "OTHER" })", two = R"({ "FILMS", "OTHER" })";
  for (int i = 0; i < 50 && databases() != all; ++i) ::usleep(20000);
  EXPECT_EQ(databases(), all);
  send(group, P::REMOVE_SERVER, fake, "224.0.0.1");
  ASSERT_TRUE(next(group, P::REMOVE_SERVER, info));  // its echo
  for (int i = 0; i < 50 && databases() != two; ++i) ::usleep(20000);
  EXPECT_EQ(databases(), two);
  EXPECT_EQ(server.stop(), 0);
  ASSERT_TRUE(next(group, P::REMOVE_SERVER, info));
  EXPECT_EQ(info.getStorageId(), kStorageId);
  ::close(group);
}

TEST(KestrixdDiscoveryOwnNetns, DatagramTextForgesNoLineAndAFloodGivesAFewLines) {
  ServerProcess server(kRules);
  const int fd = udpSocket();
  KestrixDaemonInfo info;
  ASSERT_TRUE(search(fd, info)) << server.log();
  const std::string forged = "\nkestrixd: rules reloaded from 'x'";
  const sockaddr_in to = KestrixTest::loopback(7555);
  const auto lines = [&] {
    const std::string log = server.log();
    return std::count(log.begin(), log.end(), '\n');
  };
  const long before = lines();
  for (int i = 1; i <= 1000; ++i) {
    ::sendto(fd, forged.data(), forged.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    if (i % 50 == 0) ::usleep(2000);  // within the socket's buffer
  }
  ::usleep(300000);
  const std::string log = "\n" + server.log();
  EXPECT_EQ(log.find("\nkestrixd: rules reloaded"), std::string::npos) << log;
  EXPECT_NE(log.find("': \\x0akestrixd: rules reloaded from 'x'\n"), std::string::npos) << log;
  EXPECT_LE(lines() - before, 30) << log;
  ::close(fd);
}

}  // namespace
