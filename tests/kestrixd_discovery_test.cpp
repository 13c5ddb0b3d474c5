// kestrixd on the discovery group, seen from plain UDP sockets on loopback.
// Port 7555 is fixed, so every case runs in a namespace of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "kestrix/client/api/KestrixMulticastProtocol.h"
#include "tests/KestrixdProcess.h"

namespace {

using Kestrix::rcAttrStream;
using KestrixTest::ServerProcess;
using P = KestrixMulticastProtocol;

const std::string kStorageId = "5f0c2b1e-0d9a-4c55-9e1f-2a3b4c5d6e7f";
const std::string kRules =
    "[Server]\nDisplayName = Disc\nDatabase = FILMS\nStorageId = " + kStorageId + "\n";

// A socket on from, on a port of the system's choice.
int udpSocket(const char* from = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = KestrixTest::loopback(0);
  addr.sin_addr.s_addr = inet_addr(from);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return fd;
}

void send(int fd, P::RequestType type, const rcAttrStream& data) {
  const std::string text = P::create(type, data);
  const sockaddr_in addr = KestrixTest::loopback(7555);
  ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
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
  const int fds[] = {udpSocket(), udpSocket("198.18.0.2"), udpSocket("198.18.0.3"),
                     udpSocket("198.18.0.4")};
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
