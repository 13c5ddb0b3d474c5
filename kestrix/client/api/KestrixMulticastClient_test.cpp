// The discovery client against scripted peers on the group port and a
// server of the library's own server side, in network namespaces of their own.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "common/base/tcp/CoMulticast.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
// Last: the windows.h under it defines ERROR, a name of rcResult.
#include "common/base/loggerBase/WineTestSupport.h"

namespace {

using Client = KestrixMulticastClient;
using Protocol = KestrixMulticastProtocol;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

KestrixDaemonInfo server(const char* name, const char* storageId, const char* ip = "198.18.5.5",
                         int port = 7549) {
  KestrixDaemonInfo info;
  info.setDisplayName(name);
  info.setStorageId(storageId);
  info.setMetadataIP(0, ip);
  info.setNodePort(port);
  info.setDatabase("GRYNN");
  return info;
}

Strings ips(const KestrixDaemonInfo& info) {
  Strings list;
  for (unsigned i = 0; *info.getMetadataIP(i) != '\0'; ++i) list.push_back(info.getMetadataIP(i));
  return list;
}

// A socket on port 7555, on the group (null ip) or bound to ip, where the
// unicasts to ip arrive.
struct Peer {
  struct Datagram {
    KestrixDaemonInfo info;
    std::string ip;
    unsigned int port = 0;
  };
  explicit Peer(const char* ip) : socket(7555, "224.0.0.1", ip) {
    socket.bind(false);
    if (ip == nullptr) socket.join();
  }
  void send(Protocol::RequestType type, const KestrixDaemonInfo& info, const Datagram* to = 0) {
    const std::string text = Protocol::create(type, info.toAttrStream());
    socket.send(text.data(), text.size(), to ? to->ip.c_str() : nullptr, to ? to->port : 0);
  }
  Datagram receive(int ms = 1500) {  // no ip when nothing came
    Datagram d;
    char text[1024];
    uint64_t length = 1023;
    sockaddr_storage from;
    if (!Kestrix::TcpTestUtil::waitReadable(socket.getSocket(), ms)) return d;
    socket.receive(text, length, from, false);
    text[length] = '\0';
    Kestrix::CoMulticast::addrToIPAndPort(from, d.ip, d.port);
    Kestrix::rcAttrStream data;
    Protocol::RequestType type;
    if (Protocol::parseRequest(text, type, data)) d.info = KestrixDaemonInfo(data);
    return d;
  }
  Kestrix::CoMulticast socket;
};

// Events as "+name", "~name" (updated) and "-name".
struct Recorder : Client::Observer {
  void notify(Event event, const KestrixDaemonInfo& info) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back("~+-"[event] + std::string(info.getDisplayName()));
  }
  Strings take() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::mutex mutex;
  Strings events;
};

// Answers "GetDaemonList" with two servers.
struct ListServer : Kestrix::rcServerContext {
  ListServer() : rcServerContext(0) {
    static const Kestrix::rcParam::Info text[] = {{&Kestrix::rcParamString::getType(), "params"},
                                                  {nullptr, nullptr}};
    registerMethod(Kestrix::rcMethod(
        *this, "GetDaemonList",
        [](void*, const Kestrix::rcMethod&, const Kestrix::rcParam::Array&, Kestrix::rcParam& r) {
          std::string list;
          Protocol::encode({server("alpha", "s2"), server("beta", "s3")}, list);
          return r.setStringValue(list), true;
        },
        Kestrix::rcParamString::getType(), text));
    thread.emplace(*this);
  }
  std::optional<Kestrix::rcTest::ServerThread> thread;
};

TEST(KestrixMulticastClientFix, MappedSenderFirstRemoteLoopbackDroppedDefaultsFilled) {
  KestrixClient library;
  ASSERT_TRUE(library.init());
  KestrixDaemonInfo remote = server("", "", "198.18.5.5", 0);
  remote.setMetadataIP(1, "127.0.0.1");
  remote.setMetadataIP(2, "198.18.5.6");
  remote.setDatabase("");
  Client::fixKestrixDaemonInfo(remote, "::ffff:198.18.0.7");
  EXPECT_EQ(ips(remote), Strings({"198.18.0.7", "198.18.5.5", "198.18.5.6"}));
  EXPECT_EQ(std::to_string(remote.getNodePort()) + remote.getDatabase(), "7549GRYNN");
}

class KestrixMulticastClientOwnNetns : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.init()); }
  void TearDown() override { Client::removeObserver(&recorder), Client::stop(); }
  KestrixClient library;
  Recorder recorder;
};

TEST_F(KestrixMulticastClientOwnNetns, StartUpReturnsOnFirstAnswerFetchesListStopsAtOnce) {
  ListServer list;
  Peer local("127.0.0.1");  // the local host is asked first
  std::thread answer([&] {
    for (int i = 0; i < 2; ++i)
      if (const Peer::Datagram search = local.receive(3000); !search.ip.empty())
        local.send(Protocol::DISCOVER_SERVERS_REPLY,
                   server("first", "s1", "127.0.0.1", list.getPort()), &search);
  });
  for (int start = 0; start < 2; ++start) {  // and again after a stop
    auto begin = Clock::now();
    EXPECT_EQ(Client::getInstance().getServers(nullptr, nullptr, nullptr, 0), 3u);
    EXPECT_LT(Clock::now() - begin, 500ms);
    std::this_thread::sleep_for(100ms);  // the service thread waits by now
    begin = Clock::now();
    Client::stop();
    EXPECT_LT(Clock::now() - begin, 1s);
    Client::stop();  // without an instance
  }
  answer.join();
}

TEST_F(KestrixMulticastClientOwnNetns, SearchesSendOnlyWhatIsNeeded) {
  const auto begin = Clock::now();
  Client& client = Client::getInstance();
  EXPECT_LT(Clock::now() - begin, 2600ms);  // two 1-second search waits, no more
  Peer group(nullptr), direct("127.0.0.2");
  client.add(server("known", "", "127.0.0.2"));
  const KestrixServerId known("127.0.0.2:GRYNN");
  KestrixDaemonInfo before, after;
  ASSERT_TRUE(client.resolve(known, before));
  std::this_thread::sleep_for(5ms);
  client.find(nullptr);
  client.find("");
  client.connectedTo(known);
  client.find("s9");
  client.connectedTo(KestrixServerId("127.0.0.2:OTHER"));
  EXPECT_STREQ(group.receive().info.getStorageId(), "s9");
  ASSERT_TRUE(client.resolve(known, after));
  EXPECT_GT(after.getLastUpdate(), before.getLastUpdate());
  if (Kestrix::runningUnderWine())
    GTEST_SKIP() << "wine hands a unicast to the port's any-address socket, not to the one "
                    "bound to its address";
  EXPECT_STREQ(direct.receive().info.getDatabase(), "OTHER");
}

TEST_F(KestrixMulticastClientOwnNetns, NewServersBeyondTheBoundAreDroppedWithOneWarning) {
  Kestrix::RegEnvVar<int>::setByName("KESTRIX_MULTICAST_MAX_SERVERS", 2);
  Client::addObserver(&recorder);
  Kestrix::CoTestMsgCapture capture;
  for (const char* id : {"a", "b", "c", "d"}) Client::getInstance().add(server(id, id));
  Client::getInstance().add(server("a2", "a"));  // known servers still change
  Kestrix::RegEnvVar<int>::setByName("KESTRIX_MULTICAST_MAX_SERVERS", 4096);
  EXPECT_EQ(recorder.take(), Strings({"+a", "+b", "~a2"}));
  KestrixServerId byStorageId;
  byStorageId.setStorageId("a");
  KestrixDaemonInfo info;
  ASSERT_TRUE(Client::getInstance().resolve(byStorageId, info));
  EXPECT_STREQ(info.getDisplayName(), "a2");
  byStorageId.setStorageId("c");
  EXPECT_FALSE(Client::getInstance().resolve(byStorageId, info));
  EXPECT_EQ(capture.count("Kestrix Multicast: 2 servers known already; ignoring 'c' and any other "
                          "new server until the next resync"),
            1);
}

// A private socket opens on an interface made while the client runs, a
// search goes out on it, and the answer's sender joins the addresses.
TEST_F(KestrixMulticastClientOwnNetns, InterfaceAddedWhileRunningIsSearchedOn) {
  if (Kestrix::runningUnderWine())
    GTEST_SKIP() << "under wine, std::system has no ip command, and sockets live in the "
                    "network namespace of the wine server, not the test's own";
  Client& client = Client::getInstance();
  Peer group(nullptr);
  ASSERT_EQ(std::system("ip link add kxa type veth peer name kxb && ip addr add 198.18.0.1/24 dev "
                        "kxa && ip addr add 198.18.1.1/24 dev kxb && ip link set kxa up && "
                        "ip link set kxb up"),
            0);
  std::set<std::string> sources;
  for (const auto end = Clock::now() + 5s; Clock::now() < end && sources.size() < 3;) {
    const Peer::Datagram search = group.receive(200);
    if (!search.ip.empty()) sources.insert(search.ip);
    if (search.ip == "198.18.0.1")
      group.send(Protocol::DISCOVER_SERVERS_REPLY, server("via kxa", "v1", "198.18.7.7"), &search);
  }
  EXPECT_EQ(sources, std::set<std::string>({"127.0.0.1", "198.18.0.1", "198.18.1.1"}));
  KestrixServerId id;
  id.setStorageId("v1");
  KestrixDaemonInfo info;
  for (const auto end = Clock::now() + 2s; Clock::now() < end && !client.resolve(id, info);)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ips(info), Strings({"198.18.0.1", "198.18.7.7"}));
  std::system("ip link del kxa");
}

// Trust on first use: a known server changes and goes only by what comes
// from one of its addresses (or from this host), and answers count only
// soon after a search; anyone may still announce a new server.
TEST_F(KestrixMulticastClientOwnNetns, StrangersNeitherChangeNorRemoveAKnownServer) {
  if (Kestrix::runningUnderWine())
    GTEST_SKIP() << "under wine, std::system has no ip command, and sockets live in the "
                    "network namespace of the wine server, not the test's own";
  ASSERT_EQ(std::system("ip link add kxs type veth peer name kxt && ip addr add 198.18.9.9/24 dev "
                        "kxs && ip link set kxs up && ip link set kxt up"),
            0);
  Client::addObserver(&recorder);
  Peer owner("127.0.0.1"), stranger("198.18.9.9");
  owner.send(Protocol::DISCOVER_SERVERS, server("owned", "t1"));
  stranger.send(Protocol::DISCOVER_SERVERS, server("evil", "t1", "198.18.9.9"));
  stranger.send(Protocol::REMOVE_SERVER, server("owned", "t1"));
  std::this_thread::sleep_for(std::chrono::microseconds(Client::REPLY_WINDOW_US) + 100ms);
  stranger.send(Protocol::DISCOVER_SERVERS_REPLY, server("unasked", "t2", "198.18.9.9"));
  stranger.send(Protocol::DISCOVER_SERVERS, server("fresh", "t3", "198.18.9.9"));
  owner.send(Protocol::DISCOVER_SERVERS, server("owned2", "t1"));
  for (const auto end = Clock::now() + 2s; Clock::now() < end && recorder.take().size() < 3;)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(recorder.take(), Strings({"+owned", "+fresh", "~owned2"}));
  std::system("ip link del kxs");
}

// Run with KESTRIX_MULTICAST_RESYNC_TIME=1: a server silent for two resync
// periods is removed, one that keeps announcing, unchanged, stays.
class KestrixMulticastClientResyncOwnNetns : public KestrixMulticastClientOwnNetns {};
TEST_F(KestrixMulticastClientResyncOwnNetns, AnnouncementsAddUpdateRemoveAndRenew) {
  Client::addObserver(&recorder);
  Peer group(nullptr);
  KestrixDaemonInfo info = server("alpha", "s1");
  group.send(Protocol::DISCOVER_SERVERS, info);
  info.setDisplayName("alpha2");
  group.send(Protocol::DISCOVER_SERVERS, info);
  group.send(Protocol::DISCOVER_SERVERS, server("gone", "s3"));
  group.send(Protocol::REMOVE_SERVER, server("gone", "s3"));
  for (int i = 0; i < 15; ++i, std::this_thread::sleep_for(300ms))
    group.send(Protocol::DISCOVER_SERVERS, server("alive", "s2"));
  std::list<KestrixDaemonInfo> known;
  ASSERT_EQ(Client::getInstance().getServers(&known, nullptr, nullptr, 0), 1u);
  EXPECT_STREQ(known.front().getDisplayName(), "alive");
  EXPECT_EQ(recorder.take(), Strings({"+alpha", "~alpha2", "+gone", "-gone", "+alive", "-alpha2"}));
}

}  // namespace
