// kestrixd on the discovery group, seen from plain UDP sockets on loopback.
// Port 7555 is fixed, so every case runs in a namespace of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
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

// A socket on from that multicasts on 127.0.0.1; with group, one that
// hears the discovery group.
int udpSocket(bool group = false, const char* from = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = KestrixTest::loopback(group ? 7555 : 0);
  addr.sin_addr.s_addr = group ? htonl(INADDR_ANY) : inet_addr(from);
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

TEST(KestrixdDiscoveryOwnNetns, AnswersMatchingSearches) {
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

// Last: the senders' addresses stay on lo. Each sender has its own budget
// within the global one; this host's own clients (loopback) count against
// neither.
TEST(KestrixdDiscoveryOwnNetns, SearchesAreLimitedPerSenderButNotFromLoopback) {
  ASSERT_EQ(std::system("for n in 2 3 4; do ip addr add 198.18.0.$n/32 dev lo || exit 1; done"), 0);
  ServerProcess server(kRules + "[Limits]\nMaxSearchesPerSecond = 25\n");
  const int fds[] = {udpSocket(), udpSocket(false, "198.18.0.2"), udpSocket(false, "198.18.0.3"),
                     udpSocket(false, "198.18.0.4")};
  KestrixDaemonInfo info;
  ASSERT_TRUE(search(fds[0], info)) << server.log();
  // The limits count per second of the monotonic clock: the burst starts
  // early in one and takes well under a second.
  for (timespec now; ::clock_gettime(CLOCK_MONOTONIC, &now) == 0 && now.tv_nsec > 50000000;)
    ::usleep(1000);
  for (int i = 0; i < 200; ++i, ::usleep(1000)) {
    send(fds[1], P::FIND_SERVERS, rcAttrStream());
    for (int other : {fds[2], fds[3]})
      if (i % 10 == 0) send(other, P::FIND_SERVERS, rcAttrStream());
    if (i % 5 == 0) send(fds[0], P::FIND_SERVERS, rcAttrStream());
  }
  int answers[4] = {};
  for (int k = 0; k < 4; ++k)
    while (next(fds[k], P::DISCOVER_SERVERS_REPLY, info, 300)) ++answers[k];
  EXPECT_EQ(answers[0], 40);
  EXPECT_GE(answers[1], 8);
  EXPECT_LE(answers[1], 10);
  EXPECT_GE(answers[2] * answers[3], 1) << "a flood from one sender locked the others out";
  EXPECT_GE(answers[1] + answers[2] + answers[3], 22);
  EXPECT_LE(answers[1] + answers[2] + answers[3], 25);
  const std::string log = server.log(), global = "discovery searches in one second;";
  EXPECT_NE(log.find("10 discovery searches in one second from 198.18.0.2;"), std::string::npos)
      << log;
  EXPECT_NE(log.find(global), std::string::npos) << log;
  EXPECT_EQ(log.find(global), log.rfind(global)) << log;
  for (int fd : fds) ::close(fd);
}

}  // namespace
