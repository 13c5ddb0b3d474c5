// Discovery among hosts on one switch, each with the rules the package
// installs (which leave HostName to the system) plus one rule of its own:
// /who translated for host "who" gives the answering host's name. S and C
// run kestrixd as every host does, A is an attacker that speaks the
// protocol by hand, D a client with no kestrixd of its own.
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"
#include "tests/NetnsHosts.h"

namespace {

using namespace KestrixTest;
using P = KestrixMulticastProtocol;

class DiscoveryNetwork : public NetnsHosts {
 protected:
  void SetUp() override {
    makeHosts(4);
    NetnsHosts::SetUp();
  }
  void TearDown() override {
    stopHijack_ = true;
    if (hijacker_.joinable()) hijacker_.join();
    NetnsHosts::TearDown();
    dropHosts();
  }

  void startShipped(std::initializer_list<Host> hosts, const std::string& more = "") {
    for (Host h : hosts)
      startServer(h, readFile(KESTRIX_EXAMPLE_RULES) +
                         "[HostTranslation who]\nsrcHost = " + kName[h] +
                         "\nsrcPath = /who\ndstHost = who\ndstPath = /" + kName[h] + "\n" + more);
  }
  // "" when n runs of the command on host `from` naming server all got
  // want's answer, else what the first that did not printed.
  std::string wrongAnswer(Host from, const std::string& server, Host want, int n,
                          std::vector<std::string> env = {}) {
    env.insert(env.end(), {KESTRIX_TRANSLATE_PATH_BINARY, "-h", server, "-p", "/who", "-H", "who"});
    for (int i = 1; i <= n; ++i) {
      const RunResult r = runOn(from, env);
      if (r.out != "/" + std::string(kName[want]) + "\n")
        return "run " + std::to_string(i) + " (exit " + std::to_string(r.exitCode) + "): " + r.out;
    }
    return "";
  }
  // What server answers a search sent to it from host `from`.
  KestrixDaemonInfo describe(Host from, Host server) {
    KestrixDaemonInfo info;
    onHost(from, [&] {
      const int fd = udpSocket(kIp[from]);
      pollfd wait = {fd, POLLIN, 0};
      P::RequestType type = P::INVALID;
      Kestrix::rcAttrStream data;
      for (int i = 0; i < 10 && type != P::DISCOVER_SERVERS_REPLY; ++i) {
        char text[P::MAX_DATAGRAM + 1] = "";
        sendTo(fd, P::create(P::FIND_SERVERS, Kestrix::rcAttrStream()), kIp[server]);
        if (::poll(&wait, 1, 300) == 1)
          text[std::max<ssize_t>(0, ::recv(fd, text, P::MAX_DATAGRAM, 0))] = '\0';
        if (P::parseRequest(text, type, data)) info = KestrixDaemonInfo(data);
      }
      ::close(fd);
    });
    return info;
  }
  // The servers the kestrixd of host h lists.
  std::string daemonList(Host h) {
    std::string list;
    onHost(h, [&] {
      Kestrix::rcAPI api;
      if (api.connect("127.0.0.1", 7549, 3000)) api.call(0, "GetDaemonList", "", true, list, 3000);
    });
    return list;
  }
  // A on the attack: announces the victim's description with its own
  // address first, at once after each announcement of the victim and every
  // 200 ms, answers every search with it, and counts the connections to its
  // port 7549 (closing them, so that a client misled there fails fast).
  void hijack(const KestrixDaemonInfo& victim) {
    KestrixDaemonInfo forged = victim;
    for (unsigned i = 0; *victim.getMetadataIP(i) != '\0'; ++i)
      forged.setMetadataIP(i + 1, victim.getMetadataIP(i));
    forged.setMetadataIP(0, kIp[A]);
    hijacker_ = std::thread([this, forged] {
      onHost(A, [&] {
        const int udp = udpSocket(kIp[A], true), tcp = listenOn("0.0.0.0", 7549);
        const std::string announce = P::create(P::DISCOVER_SERVERS, forged.toAttrStream()),
                          reply = P::create(P::DISCOVER_SERVERS_REPLY, forged.toAttrStream());
        for (auto next = std::chrono::steady_clock::now(); !stopHijack_;) {
          if (std::chrono::steady_clock::now() >= next) {
            sendTo(udp, announce);
            next = std::chrono::steady_clock::now() + 200ms;
          }
          pollfd ready[2] = {{udp, POLLIN, 0}, {tcp, POLLIN, 0}};
          if (::poll(ready, 2, 20) <= 0) continue;
          if (const int fd = ::accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0)
            ++hijacked_, ::close(fd);
          char text[P::MAX_DATAGRAM + 1];
          sockaddr_in from{};
          socklen_t length = sizeof from;
          const ssize_t n = ::recvfrom(udp, text, P::MAX_DATAGRAM, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &length);
          P::RequestType type = P::INVALID;
          Kestrix::rcAttrStream data;
          if (n <= 0 || (text[n] = '\0', !P::parseRequest(text, type, data))) continue;
          if (type == P::FIND_SERVERS)
            ::sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     length);
          if (type == P::DISCOVER_SERVERS && from.sin_addr.s_addr == inet_addr(kIp[S]))
            next = std::chrono::steady_clock::now();
        }
        ::close(udp);
        ::close(tcp);
      });
    });
  }

  std::thread hijacker_;
  std::atomic<bool> stopHijack_{false};
  std::atomic<int> hijacked_{0};
};

TEST_F(DiscoveryNetwork, EveryHostWithTheShippedRulesIsAServerOfItsOwn) {
  startShipped({S, C});
  const std::string s = describe(D, S).getStorageId(), c = describe(D, C).getStorageId();
  EXPECT_NE(s, c);
  const RunResult listed = runOn(D, {KESTRIX_SERVERS_BINARY});
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 2) << listed.out;
  EXPECT_NE(listed.out.find("Studio File Server\tGRYNN\t" + s + "\t7549\t198.18.0.1"),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("\t" + c + "\t7549\t198.18.0.2"), std::string::npos) << listed.out;
  const auto known = [&] {  // by C's kestrixd: itself first, then what it heard
    const std::string list = daemonList(C);
    return list.find(c) < list.find(s) && list.find(s) != std::string::npos;
  };
  EXPECT_TRUE(waitFor(known, 2s)) << daemonList(C);
  EXPECT_EQ(wrongAnswer(D, kIp[S], S, 10), "");
  EXPECT_EQ(wrongAnswer(D, kIp[C], C, 1), "");
  EXPECT_EQ(runOn(D, {KESTRIX_SERVERS_BINARY, "-d", "OTHERDB"}).err,
            "No Kestrix server found for database OTHERDB.\n");
  EXPECT_EQ(wrongAnswer(D, "198.18.0.1:OTHERDB", S, 1),
            "run 1 (exit 1): Unable to translate paths on server '198.18.0.1:OTHERDB' to local "
            "path: No Kestrix server found for '198.18.0.1:OTHERDB' (kestrix_servers lists the "
            "servers discovery knows)\n");
  // An empty group in the network configuration stops the commands cleanly.
  writeFile(dir_ + "/network.cfg", "[SelfDiscovery]\nScope =\n");
  EXPECT_EQ(runOn(D, {"QV_NETWORK_CFG_FILE=" + dir_ + "/network.cfg", KESTRIX_SERVERS_BINARY}).err,
            "Bad [SelfDiscovery] Scope '' in " + dir_ +
                "/network.cfg: not an IPv4 multicast address (224.0.0.0 to 239.255.255.255)\n");
}

// The same container bridge address on every host is local to each; its
// name sorts before eth0.
TEST_F(DiscoveryNetwork, AnAddressEveryHostHasLeadsNoClientToItself) {
  for (Host h : {S, C})
    ASSERT_EQ(runOn(h, {"sh", "-c",
                        "ip link add cbr0 type bridge && ip addr add 172.17.0.1/16 dev cbr0 && "
                        "ip link set cbr0 up multicast on"})
                  .exitCode,
              0);
  startShipped({S, C});
  EXPECT_EQ(wrongAnswer(C, "kxs", S, 10), "");
}

TEST_F(DiscoveryNetwork, AnAddressRemovedFromAServerLeavesItsClientsAtOnce) {
  startShipped({S, C});
  const std::string out = dir_ + "/servers.out", extra = "198.18.0.11";
  ASSERT_EQ(runOn(S, {"ip", "addr", "add", extra + "/24", "dev", "eth0"}).exitCode, 0);
  ASSERT_TRUE(waitFor([&] { return daemonList(C).find(extra) != std::string::npos; }, 5s));
  EXPECT_EQ(log(S).find("cannot join"), std::string::npos) << "a second address, one interface";
  spawnOn(C, {KESTRIX_SERVERS_BINARY, "-w", "4"}, out);
  ASSERT_TRUE(waitFor([&] { return readFile(out).find(extra) != std::string::npos; }, 3s));
  const std::string id = describe(C, S).getStorageId(), listed = readFile(out);
  ASSERT_EQ(runOn(S, {"ip", "addr", "del", extra + "/24", "dev", "eth0"}).exitCode, 0);
  EXPECT_TRUE(waitFor(
      [&] {
        const std::string news = readFile(out).substr(listed.size());
        const size_t at = news.find("~\tStudio File Server\tGRYNN\t" + id);
        return at != std::string::npos && news.find(extra, at) > news.find('\n', at);
      },
      2s))
      << readFile(out);
}

TEST_F(DiscoveryNetwork, AHijackerOfTheStorageIdGetsNoClient) {
  startShipped({S, C});
  hijack(describe(A, S));
  std::this_thread::sleep_for(500ms);  // C's kestrixd has heard it by now
  EXPECT_EQ(wrongAnswer(C, "kxs", S, 10), "");
  EXPECT_EQ(hijacked_, 0) << "by the commands";
  const std::string out = dir_ + "/watch.out";
  spawnOn(C, {KESTRIX_WATCH_BINARY, "-h", "kxs"}, out);
  ASSERT_TRUE(waitFor([&] { return readFile(out).find("-- watching") != std::string::npos; }, 5s))
      << readFile(out);
  ::kill(server_[S], SIGHUP);
  EXPECT_TRUE(waitFor([&] { return readFile(out).find(" Modified ") != std::string::npos; }, 3s));
  std::this_thread::sleep_for(2500ms);  // a ping of the watch after the announcements
  EXPECT_NE(readFile(out).find(" Modified RulesFile=" + rulesPath(S) + " "), std::string::npos)
      << readFile(out);
  EXPECT_EQ(readFile(out).find("-- lost"), std::string::npos) << readFile(out);
  EXPECT_EQ(hijacked_, 0);
}

TEST_F(DiscoveryNetwork, AForgedRemovalLeavesTheServerListed) {
  startShipped({S, C});
  const KestrixDaemonInfo s = describe(A, S);
  ASSERT_TRUE(
      waitFor([&] { return daemonList(C).find(s.getStorageId()) != std::string::npos; }, 3s));
  const std::string out = dir_ + "/servers.out", removal = "-\tStudio File Server\tGRYNN\t";
  spawnOn(C, {KESTRIX_SERVERS_BINARY, "-w", "4"}, out);
  ASSERT_TRUE(waitFor([&] { return !readFile(out).empty(); }, 3s));
  const std::string forged = P::create(P::REMOVE_SERVER, s.toAttrStream());
  udpSend(A, {forged});
  udpSend(A, {forged}, kIp[C]);
  std::this_thread::sleep_for(500ms);
  EXPECT_NE(daemonList(C).find(s.getStorageId()), std::string::npos);
  EXPECT_EQ(readFile(out).find(removal), std::string::npos) << readFile(out);
  // Its own goodbye is heard.
  stopServer(S);
  EXPECT_TRUE(waitFor([&] { return readFile(out).find(removal) != std::string::npos; }, 2s))
      << readFile(out);
}

TEST_F(DiscoveryNetwork, ASearchFloodLeavesTheServerFound) {
  startShipped({S});
  const std::string id = describe(D, S).getStorageId();
  std::atomic<bool> done{false};
  std::thread flood([&] {  // a second's worth at a time, 15 s at most
    const std::vector<std::string> second(4000,
                                          P::create(P::FIND_SERVERS, Kestrix::rcAttrStream()));
    for (int i = 0; i < 15 && !done; ++i) udpSend(A, second);
  });
  int found = 0;
  for (int i = 0; i < 10 && found == i; ++i)
    found += runOn(D, {KESTRIX_SERVERS_BINARY}).out.find(id) != std::string::npos;
  done = true;
  flood.join();
  EXPECT_EQ(found, 10);
}

TEST_F(DiscoveryNetwork, ThousandsOfForgedServersHideNoServer) {
  startShipped({S, C});
  std::vector<std::string> forged;
  for (int i = 0; i < 4000; ++i) {
    KestrixDaemonInfo info;
    info.setStorageId(("forged-" + std::to_string(i)).c_str());
    info.setMetadataIP(0, kIp[A]);
    forged.push_back(P::create(P::DISCOVER_SERVERS, info.toAttrStream()));
  }
  udpSend(A, forged);
  EXPECT_EQ(wrongAnswer(C, "kxs", S, 1), "");
}

TEST_F(DiscoveryNetwork, WithASecretUnsignedAnnouncementsAreNotTaken) {
  const std::string secret = dir_ + "/secret";
  writeFile(secret, "correct horse\n");
  ::chmod(secret.c_str(), 0600);
  startShipped({S}, "[Access]\nSecretFile = " + secret + "\n");
  hijack(describe(A, S));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(wrongAnswer(D, "kxs", S, 10, {"KESTRIX_SECRET_FILE=" + secret}), "");
  EXPECT_EQ(hijacked_, 0);
}

}  // namespace
