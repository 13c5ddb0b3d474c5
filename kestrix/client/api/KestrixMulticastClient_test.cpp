// The discovery client against scripted UDP peers on the group port and a
// scripted server of the library's own server side. The suites that bind
// port 7555 or make interfaces run in network namespaces of their own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixMulticastClient.h"

namespace {

using Client = KestrixMulticastClient;
using Protocol = KestrixMulticastProtocol;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

sockaddr_in address(const char* ip, int port = 7555) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, ip, &addr.sin_addr);
  return addr;
}

// A UDP socket on port 7555: on the group (null address), or bound to one
// address, where it gets the unicasts to that address.
class Peer {
 public:
  struct Datagram {
    Protocol::RequestType type = Protocol::INVALID;
    KestrixDaemonInfo info;
    sockaddr_in from{};
    std::string fromIP() const { return inet_ntoa(from.sin_addr); }
  };
  explicit Peer(const char* ip) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in addr = address(ip != nullptr ? ip : "0.0.0.0");
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ip_mreq group{address("224.0.0.1").sin_addr, {INADDR_ANY}};
    if (ip == nullptr) setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group);
  }
  ~Peer() { close(fd_); }
  void send(Protocol::RequestType type, const KestrixDaemonInfo& info,
            const sockaddr_in& to = address("224.0.0.1")) {
    const std::string text = Protocol::create(type, info.toAttrStream());
    sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  // INVALID when nothing came within ms.
  Datagram receive(int ms = 1500) {
    Datagram d;
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, ms) != 1) return d;
    char text[1024];
    socklen_t length = sizeof d.from;
    const ssize_t n = recvfrom(fd_, text, 1023, 0, reinterpret_cast<sockaddr*>(&d.from), &length);
    text[n > 0 ? n : 0] = '\0';
    Kestrix::rcAttrStream data;
    if (Protocol::parseRequest(text, d.type, data)) d.info = KestrixDaemonInfo(data);
    return d;
  }

 private:
  int fd_;
};

// Events as "+name", "~name" (updated) and "-name".
struct Recorder : Client::Observer {
  void notify(Event event, const KestrixDaemonInfo& info) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back("~+-"[event] + std::string(info.getDisplayName()));
  }
  Strings waitFor(size_t n, std::chrono::milliseconds limit = 2s) {
    for (const auto end = Clock::now() + limit; Clock::now() < end && take().size() < n;)
      std::this_thread::sleep_for(10ms);
    return take();
  }
  Strings take() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::mutex mutex;
  Strings events;
};

// Answers "GetDaemonList" with two servers.
std::atomic<int> gListCalls{0};
class ListServer : public Kestrix::rcServerContext {
 public:
  ListServer() : rcServerContext(0) {
    static const Kestrix::rcParam::Info text[] = {{&Kestrix::rcParamString::getType(), "params"},
                                                  {nullptr, nullptr}};
    registerMethod(
        Kestrix::rcMethod(*this, "GetDaemonList", list, Kestrix::rcParamString::getType(), text));
    thread_.emplace(*this);
  }

 private:
  static bool list(void*, const Kestrix::rcMethod&, const Kestrix::rcParam::Array&,
                   Kestrix::rcParam& result) {
    ++gListCalls;
    std::string text;
    Protocol::encode({server("alpha", "s2"), server("beta", "s3", "198.18.5.6")}, text);
    result.setStringValue(text);
    return true;
  }
  std::optional<Kestrix::rcTest::ServerThread> thread_;
};

TEST(KestrixMulticastClientFix, SenderAppendedRemoteLoopbackDroppedDefaultsFilled) {
  KestrixClient library;
  ASSERT_TRUE(library.init());
  KestrixDaemonInfo remote = server("remote", "r", "198.18.5.5", 0);
  remote.setMetadataIP(1, "127.0.0.1");
  remote.setMetadataIP(2, "198.18.5.6");
  remote.setDataIP(0, "127.0.0.1");
  remote.setDataIP(1, "198.18.5.6");
  remote.setDatabase("");
  Client::fixKestrixDaemonInfo(remote, "::ffff:198.18.0.7");
  EXPECT_EQ(Strings({remote.getMetadataIP(0), remote.getMetadataIP(1), remote.getMetadataIP(2),
                     remote.getMetadataIP(3), remote.getDataIP(0), remote.getDataIP(1)}),
            Strings({"198.18.5.5", "198.18.5.6", "198.18.0.7", "", "198.18.5.6", ""}));
  EXPECT_EQ(remote.getNodePort(), 7549);
  EXPECT_STREQ(remote.getDatabase(), "GRYNN");
  KestrixDaemonInfo local = server("local", "l", "127.0.0.1");
  Client::fixKestrixDaemonInfo(local, "127.0.0.1");
  EXPECT_EQ(Strings({local.getMetadataIP(0), local.getMetadataIP(1)}), Strings({"127.0.0.1", ""}));
  setenv("KESTRIX_NO_LOOPBACK", "", 1);
  Client::fixKestrixDaemonInfo(local, nullptr);
  unsetenv("KESTRIX_NO_LOOPBACK");
  EXPECT_STREQ(local.getMetadataIP(0), "");
}

class KestrixMulticastClientOwnNetns : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.init()); }
  void TearDown() override {
    Client::removeObserver(&recorder);
    Client::stop();
  }
  KestrixClient library;
  Recorder recorder;
};

TEST_F(KestrixMulticastClientOwnNetns, StartUpReturnsOnFirstAnswerFetchesListStopsAtOnce) {
  ListServer list;
  Peer local("127.0.0.1");  // the local host is asked first
  std::thread answer([&] {
    for (int i = 0; i < 2; ++i) {
      const Peer::Datagram search = local.receive(3000);
      if (search.type == Protocol::FIND_SERVERS)
        local.send(Protocol::DISCOVER_SERVERS_REPLY,
                   server("first", "s1", "127.0.0.1", list.getPort()), search.from);
    }
  });
  for (int start = 0; start < 2; ++start) {  // and again after a stop
    auto begin = Clock::now();
    std::list<KestrixDaemonInfo> known;
    EXPECT_EQ(Client::getInstance().getServers(&known, nullptr, nullptr, 0), 3u);
    EXPECT_LT(Clock::now() - begin, 500ms);
    EXPECT_EQ(gListCalls, start + 1);
    EXPECT_STREQ(known.empty() ? "" : known.front().getDisplayName(), "alpha");
    std::this_thread::sleep_for(100ms);  // the service thread is waiting by now
    begin = Clock::now();
    Client::stop();
    EXPECT_LT(Clock::now() - begin, 1s);
    Client::stop();  // without an instance
  }
  answer.join();
}

TEST_F(KestrixMulticastClientOwnNetns, AnnouncedOnceUpdatedOnChangeThenRemoved) {
  Client::addObserver(&recorder);
  Peer group(nullptr);
  KestrixDaemonInfo info = server("alpha", "s1");
  group.send(Protocol::DISCOVER_SERVERS, info);
  group.send(Protocol::DISCOVER_SERVERS, info);
  info.setDisplayName("alpha2");
  group.send(Protocol::DISCOVER_SERVERS, info);
  group.send(Protocol::REMOVE_SERVER, info);
  EXPECT_EQ(recorder.waitFor(3), Strings({"+alpha", "~alpha2", "-alpha2"}));
  EXPECT_EQ(Client::getInstance().getServers(nullptr, nullptr, nullptr, 0), 0u);
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
  const Peer::Datagram multicast = group.receive(), unicast = direct.receive();
  EXPECT_EQ(multicast.type, Protocol::FIND_SERVERS);
  EXPECT_STREQ(multicast.info.getStorageId(), "s9");
  EXPECT_EQ(unicast.type, Protocol::FIND_SERVERS);
  EXPECT_STREQ(unicast.info.getDatabase(), "OTHER");
  ASSERT_TRUE(client.resolve(known, after));
  EXPECT_GT(after.getLastUpdate(), before.getLastUpdate());
}

TEST_F(KestrixMulticastClientOwnNetns, NewServersBeyondTheBoundAreDroppedWithOneWarning) {
  Kestrix::RegEnvVar<int>::setByName("KESTRIX_MULTICAST_MAX_SERVERS", 2);
  Client::addObserver(&recorder);
  Client& client = Client::getInstance();
  Kestrix::CoTestMsgCapture capture;
  for (const char* id : {"a", "b", "c", "d"}) client.add(server(id, id));
  client.add(server("a2", "a"));  // known servers still change
  Kestrix::RegEnvVar<int>::setByName("KESTRIX_MULTICAST_MAX_SERVERS", 4096);
  EXPECT_EQ(client.getServers(nullptr, nullptr, nullptr, 0), 2u);
  EXPECT_EQ(recorder.take(), Strings({"+a", "+b", "~a2"}));
  EXPECT_EQ(capture.count("Kestrix Multicast: 2 servers known already; ignoring 'c' and any other "
                          "new server until the next resync"),
            1);
}

// An interface made while the client runs gets a private socket, a search
// goes out on it, and the answer's sender joins the server's addresses.
TEST_F(KestrixMulticastClientOwnNetns, InterfaceAddedWhileRunningIsSearchedOn) {
  Client& client = Client::getInstance();
  Peer group(nullptr);
  ASSERT_EQ(std::system("ip link add kxa type veth peer name kxb && ip addr add 198.18.0.1/24 dev "
                        "kxa && ip addr add 198.18.1.1/24 dev kxb && ip link set kxa up && "
                        "ip link set kxb up"),
            0);
  std::set<std::string> sources;
  for (const auto end = Clock::now() + 5s; Clock::now() < end && sources.size() < 3;) {
    const Peer::Datagram search = group.receive(200);
    if (search.type != Protocol::FIND_SERVERS) continue;
    sources.insert(search.fromIP());
    if (search.fromIP() == "198.18.0.1")
      group.send(Protocol::DISCOVER_SERVERS_REPLY, server("via kxa", "v1", "198.18.7.7"),
                 search.from);
  }
  EXPECT_EQ(sources, std::set<std::string>({"127.0.0.1", "198.18.0.1", "198.18.1.1"}));
  KestrixServerId id;
  id.setStorageId("v1");
  KestrixDaemonInfo info;
  for (const auto end = Clock::now() + 2s; Clock::now() < end && !client.resolve(id, info);)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Strings({info.getMetadataIP(0), info.getMetadataIP(1)}),
            Strings({"198.18.7.7", "198.18.0.1"}));
  std::system("ip link del kxa");
}

// Run with KESTRIX_MULTICAST_RESYNC_TIME=1.
class KestrixMulticastClientResyncOwnNetns : public KestrixMulticastClientOwnNetns {};
TEST_F(KestrixMulticastClientResyncOwnNetns,
       SilentServerDroppedAtResyncUnnoticedAnnouncingOneStays) {
  Client::addObserver(&recorder);
  Peer group(nullptr);
  group.send(Protocol::DISCOVER_SERVERS, server("silent", "s1"));
  for (int i = 0; i < 15; ++i, std::this_thread::sleep_for(300ms))
    group.send(Protocol::DISCOVER_SERVERS, server("alive", "s2"));
  std::list<KestrixDaemonInfo> known;
  ASSERT_EQ(Client::getInstance().getServers(&known, nullptr, nullptr, 0), 1u);
  EXPECT_STREQ(known.front().getDisplayName(), "alive");
  EXPECT_EQ(recorder.take(), Strings({"+silent", "+alive"}));
}

}  // namespace
