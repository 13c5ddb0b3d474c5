// The facade against the library's own server context on loopback, with
// scripted methods: request texts, reply splitting, errors, reconnection,
// time-outs, shared connections and the rule caches.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "common/base/rcApi/rcServerContext.h"
#include "kestrix/client/api/KestrixBaseClientAPI.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
#include "kestrix/client/api/KestrixResolver.h"
#include "kestrix/client/api/KestrixServerImp.h"
#include "kestrix/client/api/KestrixServerList.h"

namespace {

using Kestrix::rcMethod;
using Kestrix::rcParam;
using Kestrix::rcParamString;
using Kestrix::rcServerContext;
using Strings = std::vector<std::string>;
constexpr KestrixOS::OsType kLinux = KestrixOS::OS_TYPE_LINUX;

// What the scripted server saw and will answer; shared with its thread.
struct ScriptState {
  Strings translateRequests;
  std::string translateReply;
  bool translateFails = false;
  int groupCalls = 0;
  int groupFailures = 0;  // the first n calls fail
  int logins = 0;
  std::string rulesReply;  // when set, the reply of both rule lists
  // The next translation waits (at most five seconds) until unblocked.
  bool blockNext = false;
  bool blocked = false;
};
struct Script : ScriptState {
  std::mutex mutex;
  std::condition_variable changed;
} gScript;

template <typename Change>
auto script(Change change) {
  std::lock_guard<std::mutex> lock(gScript.mutex);
  return change(gScript);
}

class ScriptedServer : public rcServerContext {
 public:
  explicit ScriptedServer(int port = 0) : rcServerContext(port) {
    static const rcParam::Info wholeText[] = {{&rcParamString::getType(), "params"},
                                              {nullptr, nullptr}};
    const auto add = [this](const char* name, rcMethod::Function function,
                            const rcParam::Info* params) {
      registerMethod(rcMethod(*this, name, function, rcParamString::getType(), params));
    };
    add("TranslatePaths", translate, wholeText);
    add("GetDaemonInfo", daemonInfo, wholeText);
    add("GetTranslationGroups", rules, nullptr);
    add("GetHostTranslations", rules, nullptr);
    registerMethod(rcMethod(*this, "Ping", noReply, Kestrix::rcParamVoid::getType(), nullptr,
                            rcMethod::DELAYED));
    if (isValid()) thread_.emplace(*this);
  }
  bool login(const Kestrix::rcConnectionInfo&) override {
    return script([](Script& s) { return ++s.logins > 0; });
  }

 private:
  static bool translate(void*, const rcMethod& method, const rcParam::Array& args,
                        rcParam& result) {
    std::unique_lock<std::mutex> lock(gScript.mutex);
    if (gScript.blockNext) {
      gScript.blockNext = false;
      gScript.blocked = true;
      gScript.changed.notify_all();
      gScript.changed.wait_for(lock, std::chrono::seconds(5), [] { return !gScript.blocked; });
    }
    gScript.translateRequests.push_back(args[0].stringValue());
    if (gScript.translateFails) {
      method.setLastError("Cannot translate path");
      return false;
    }
    result.setStringValue(gScript.translateReply);
    return true;
  }
  static bool daemonInfo(void*, const rcMethod& method, const rcParam::Array&, rcParam& result) {
    KestrixDaemonInfo info;
    info.setMetadataIP(0, "127.0.0.1");
    info.setHostName("srvhost");
    info.setDisplayName("Server Display");
    info.setNodePort(static_cast<rcServerContext&>(method.getServerContext()).getPort());
    result.setStringValue(info.toAttrStream().getStreamStr());
    return true;
  }
  static bool rules(void*, const rcMethod& method, const rcParam::Array&, rcParam& result) {
    std::lock_guard<std::mutex> lock(gScript.mutex);
    const bool groups = std::string(method.getName()) == "GetTranslationGroups";
    if (groups && gScript.groupCalls++ < gScript.groupFailures) {
      method.setLastError("Rules are being reloaded");
      return false;
    }
    // One group; one rule: srcHost a, srcPath /data, dstHost b, dstPath D:\data.
    const std::string fixed = groups ? "numGroups 1 10 24 farm,2,render01,render02"
                                     : "numHostTranslations 1 10 54 srcHost 1 asrcPath 5 /data"
                                       "dstHost 1 bdstPath 7 D:\\data";
    result.setStringValue(gScript.rulesReply.empty() ? fixed : gScript.rulesReply);
    return true;
  }

  static bool noReply(void*, const rcMethod&, const rcParam::Array&, rcParam&) { return true; }

  std::optional<Kestrix::rcTest::ServerThread> thread_;  // serves until destroyed
};

KestrixServerId at(int port) {
  return KestrixServerId(("127.0.0.1:" + std::to_string(port)).c_str());
}

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.init());
    script([](Script& s) { static_cast<ScriptState&>(s) = ScriptState(); });
    startServer(0);
  }
  void TearDown() override { stopServer(); }

  void startServer(int port) {
    server = std::make_unique<ScriptedServer>(port);
    ASSERT_TRUE(server->isValid());
  }
  void stopServer() { server.reset(); }
  KestrixServerId id() const { return at(server->getPort()); }
  Strings requests() {
    return script([](Script& s) { return s.translateRequests; });
  }

  KestrixClient client;
  std::unique_ptr<ScriptedServer> server;
};

KestrixStrList listOf(const std::vector<const char*>& items) {
  KestrixStrList list;
  for (const char* item : items) list.push_back(item);
  return list;
}

Strings toVector(const KestrixStrList& list) {
  Strings out;
  for (unsigned i = 0; i < list.size(); ++i) out.emplace_back(list[i]);
  return out;
}

// Translates paths from host "s" to host "d", Linux to Linux.
bool translate(KestrixServerHandle& handle, KestrixStrList& out,
               const std::vector<const char*>& paths = {"/p"}) {
  return handle.translatePaths(listOf(paths), out, "s", "d", kLinux, kLinux);
}

TEST_F(FacadeTest, RequestTextReplySplittingAndTheDescription) {
  struct Case {
    std::vector<const char*> paths;
    const char *src, *dst;  // missing ones come from the description
    KestrixOS::OsType srcType, dstType;
    const char *request, *reply;
    Strings out;
  };
  const Case cases[] = {
      {{"/a 1", "/b,\"q\""},
       "src",
       "dst",
       kLinux,
       KestrixOS::OS_TYPE_WINNT,
       "\"src\" 2 \"dst\" 3 \"/a 1\",\"/b,\"q\"\"",
       "/x/a,/x/b",
       {"/x/a", "/x/b"}},
      {{"/p"},
       nullptr,
       nullptr,
       KestrixOS::OS_TYPE_UNKNOWN,
       KestrixOS::OS_TYPE_MACOSX,
       "\"Server Display\" 0 \"srvhost\" 4 \"/p\"",
       "one,two,three",
       {"one", "two", "three"}},
      {{"/p"}, "s", "d", kLinux, kLinux, "\"s\" 2 \"d\" 2 \"/p\"", "one,", {"one", ""}},
      {{}, "s", "d", KestrixOS::OS_TYPE_UNKNOWN, kLinux, "\"s\" 0 \"d\" 2 ", "", {}},
  };
  KestrixServerHandle handle(id());
  for (const Case& c : cases) {
    script([&](Script& s) { s.translateReply = c.reply; });
    KestrixStrList out = listOf({"stale"});
    ASSERT_TRUE(handle.translatePaths(listOf(c.paths), out, c.src, c.dst, c.srcType, c.dstType))
        << handle.lastError();
    EXPECT_EQ(requests().back(), c.request);
    EXPECT_EQ(toVector(out), c.out) << c.reply;
  }
  KestrixStr one("old");  // and no piece at all for a single path
  ASSERT_TRUE(handle.translatePath("/a", one, "s", "d", kLinux, kLinux));
  EXPECT_STREQ(one.c_str(), "");
  bool atLeast = false;  // the description's version
  EXPECT_TRUE(handle.compareVersion(atLeast, 2020, 2, 0, 236) && atLeast);
  EXPECT_TRUE(handle.compareVersion(atLeast, 2020, 2, 0, 237) && !atLeast);
}

TEST_F(FacadeTest, FailuresKeepTheOutput) {
  KestrixServerHandle handle(id());
  KestrixStrList out = listOf({"kept"});
  EXPECT_FALSE(handle.translatePaths(listOf({"/p"}), out, "", "d", kLinux, kLinux));
  EXPECT_FALSE(handle.translatePaths(listOf({"/p"}), out, "s", "", kLinux, kLinux));
  EXPECT_FALSE(handle.isConnected()) << "refused without traffic";
  script([](Script& s) { return s.translateFails = true; });
  EXPECT_FALSE(translate(handle, out));
  EXPECT_STREQ(handle.lastError(), "Cannot translate path");
  EXPECT_EQ(toVector(out), Strings{"kept"});
  EXPECT_TRUE(handle.isConnected()) << "an error reply keeps the connection";
}

TEST_F(FacadeTest, RefusedClosedOrTimedOutConnectionIsRetriedWithCallbacks) {
  // A fixed port is listened on with address reuse, so that the restarted
  // server gets it back while the closed connections linger.
  const KestrixServerId serverId = id();
  stopServer();
  KestrixServerHandle handle(serverId);
  KestrixStrList out;
  EXPECT_FALSE(translate(handle, out)) << "refused";
  EXPECT_STRNE(handle.lastError(), "");
  EXPECT_EQ(handle.getHostName(), nullptr);
  startServer(serverId.getPort());
  ASSERT_TRUE(translate(handle, out)) << "not retried: " << handle.lastError();
  struct : KestrixClientConnection::ConnectCallback {
    int calls = 0;
    void connected(KestrixClientConnection&) override { ++calls; }
  } callback;
  handle.imp()->base->addConnectCallback(&callback);
  static std::atomic<int> disconnects;
  disconnects = 0;
  KestrixRegisterDisconnectCallBack([](const KestrixServerId&) { ++disconnects; });
  stopServer();  // closes the connection from the server's side
  startServer(serverId.getPort());
  EXPECT_TRUE(translate(handle, out, {"/q"})) << handle.lastError();
  EXPECT_EQ(callback.calls, 1);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(requests().back(), "\"s\" 2 \"d\" 2 \"/q\"");
  handle.imp()->base->removeConnectCallback(&callback);
  EXPECT_FALSE(handle.ping(200)) << "the server never answers a ping";
  EXPECT_EQ(disconnects, 2) << "a reply time-out closes the connection";
  EXPECT_FALSE(handle.isConnected());
  KestrixRegisterDisconnectCallBack(nullptr);
}

// An address of this host is tried only for a server of this host: listed
// by another host's server (a container bridge has the same address on
// every host) it would reach the wrong server. Inside the tests' namespace
// 198.18.0.1 has no route and nothing listens on ::1: refused at once.
TEST_F(FacadeTest, DiscoveredServerIsReachedPastAnUnreachableAddressWhichIsFlagged) {
  KestrixDaemonInfo info;
  info.setStorageId("facade-store");
  info.setMetadataIP(0, "198.18.0.1");
  info.setMetadataIP(1, "127.0.0.1");
  info.setNodePort(server->getPort());
  KestrixMulticastClient::getInstance().add(info);
  KestrixServerId byStorage;
  byStorage.setStorageId("facade-store");
  EXPECT_STRNE(KestrixServerHandle(byStorage).getHostName(), "srvhost");
  EXPECT_TRUE(requests().empty());
  info.setMetadataIP(0, "::1");
  KestrixMulticastClient::getInstance().add(info);
  KestrixServerHandle handle(byStorage);
  ASSERT_STREQ(handle.getHostName(), "srvhost") << handle.lastError();
  EXPECT_STREQ(KestrixResolver(info).getIP(KestrixResolver::IP_METADATA, 0), "127.0.0.1");
}

TEST(KestrixServerList, ListsResolvesAndBoundsWhatDiscoveryKnows) {
  KestrixClient client;
  ASSERT_TRUE(client.init());
  for (const char* name : {"Zeta", "Alpha"}) {
    KestrixDaemonInfo info;
    info.setDisplayName(name);
    info.setDatabase("LISTDB");
    info.setStorageId(name);
    info.setMetadataIP(0, *name == 'Z' ? "198.18.6.2" : "198.18.6.1");
    KestrixMulticastClient::getInstance().add(info);
  }
  KestrixServerList list("LISTDB");
  int n = 0;
  ASSERT_TRUE(list.getNumNodes(n)) << list.lastError();
  ASSERT_EQ(n, 2);
  KestrixServerInfo node;
  ASSERT_TRUE(list.getNode(0, node));
  EXPECT_STREQ(node.getDisplayName(), "Alpha");
  EXPECT_FALSE(list.getNode(2, node));
  EXPECT_STREQ(list.lastError(), "Index 2 is out of the bounds 0,2.");
  KestrixServerId id;
  ASSERT_TRUE(list.resolveStorageId("Zeta", id)) << list.lastError();
  EXPECT_STREQ(id.getIPAddr(), "198.18.6.2");
  EXPECT_FALSE(list.resolveStorageId("Omega", id));
}

TEST_F(FacadeTest, TwoHandlesShareOneConnection) {
  KestrixServerHandle first(id());
  KestrixServerHandle second(id());
  KestrixStrList out;
  ASSERT_TRUE(translate(first, out) && translate(second, out));
  ASSERT_NE(first.imp()->shared.get(), nullptr);
  EXPECT_EQ(first.imp()->shared.get(), second.imp()->shared.get());
  EXPECT_EQ(server->getNbClients(), 1);
  EXPECT_NE(KestrixServerHandle(first).imp(), first.imp()) << "a copy has its own state";
}

// Attaching a handle looks through every shared connection: that must never
// wait for a call on another server.
class TwoServersTest : public FacadeTest {
 public:
  bool attachOther() { return KestrixServerHandle(at(other.getPort())).imp()->attach(); }
  std::future<bool> attachToOther() {
    return std::async(std::launch::async, [this] { return attachOther(); });
  }
  std::future<bool> translateOn(KestrixServerHandle& handle) {
    return std::async(std::launch::async, [&handle] {
      KestrixStrList out;
      return translate(handle, out);
    });
  }
  static bool withinTwoSeconds(std::future<bool>& attaching) {
    return attaching.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  }

  ScriptedServer other;
};

TEST_F(TwoServersTest, CallInFlightOnOneServerDoesNotHoldUpHandlesOnAnother) {
  KestrixServerHandle busy(id());
  script([](Script& s) { return s.blockNext = true; });
  auto call = translateOn(busy);
  {
    std::unique_lock<std::mutex> lock(gScript.mutex);
    ASSERT_TRUE(
        gScript.changed.wait_for(lock, std::chrono::seconds(5), [] { return gScript.blocked; }));
  }
  auto attaching = attachToOther();
  EXPECT_TRUE(withinTwoSeconds(attaching)) << "waited for the other server's call";
  script([](Script& s) { return s.blocked = false; });
  gScript.changed.notify_all();
  EXPECT_TRUE(call.get());
  EXPECT_TRUE(attaching.get());
}

// A connect callback that makes a handle takes the cache's lock while its
// call holds the connection, and a lookup in another thread meanwhile
// looks at that connection.
TEST_F(TwoServersTest, ConnectCallbackThatMakesAHandleDoesNotDeadlock) {
  struct MakesAHandle : KestrixClientConnection::ConnectCallback {
    TwoServersTest* test;
    std::promise<void> entered;
    std::shared_future<void> lookupStarted;
    bool attached = false;
    void connected(KestrixClientConnection&) override {
      entered.set_value();
      lookupStarted.wait_for(std::chrono::seconds(2));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      attached = test->attachOther();
    }
  } callback;
  callback.test = this;
  std::promise<void> lookupStarted;
  callback.lookupStarted = lookupStarted.get_future().share();
  KestrixServerHandle handle(id());
  ASSERT_TRUE(handle.imp()->attach());
  handle.imp()->base->addConnectCallback(&callback);
  auto call = translateOn(handle);
  callback.entered.get_future().wait();
  auto attaching = attachToOther();
  lookupStarted.set_value();
  if (!withinTwoSeconds(attaching)) {
    ADD_FAILURE() << "deadlock between the connect callback and a lookup";
    std::fflush(nullptr);
    std::_Exit(1);  // the threads can never be joined
  }
  EXPECT_TRUE(attaching.get());
  EXPECT_TRUE(call.get());
  EXPECT_TRUE(callback.attached);
  handle.imp()->base->removeConnectCallback(&callback);
}

TEST_F(FacadeTest, RuleListsAreFilledOnceAndAFailedFillIsRetried) {
  script([](Script& s) { return s.groupFailures = 1; });
  KestrixServerHandle handle(id());
  int n = -1;
  EXPECT_FALSE(handle.getNumTranslationGroups(n));
  EXPECT_STREQ(handle.lastError(), "Rules are being reloaded");
  ASSERT_TRUE(handle.getNumTranslationGroups(n));
  EXPECT_EQ(n, 1);
  KestrixServerHandle::TranslationGroup group;
  ASSERT_TRUE(handle.getTranslationGroup(0, group));
  EXPECT_STREQ(group.getGroupName(), "farm");
  EXPECT_STREQ(group.getOSType(), "Linux");
  ASSERT_EQ(group.getNumHosts(), 2);
  EXPECT_STREQ(group.getHost(1), "render02");
  EXPECT_FALSE(handle.getTranslationGroup(-1, group));
  EXPECT_FALSE(handle.getTranslationGroup(1, group));
  EXPECT_EQ(script([](Script& s) { return s.groupCalls; }), 2) << "the filled list is kept";
  KestrixServerHandle::HostTranslation translation;
  ASSERT_TRUE(handle.getHostTranslation(0, translation)) << handle.lastError();
  EXPECT_STREQ(translation.getDestinationPath(), "D:\\data");
  EXPECT_FALSE(handle.getHostTranslation(1, translation));
  EXPECT_FALSE(handle.getNumOsTypeTranslations(n));
  EXPECT_STREQ(handle.lastError(), "Unknown method: GetOsTypeTranslations");
}

TEST_F(FacadeTest, RuleCountsBeyondTheReplyAreRefused) {
  for (const int count : {2000000000, -1}) {
    Kestrix::rcAttrStream reply;
    reply.addIntValue("numGroups", count);
    reply.addIntValue("numHostTranslations", count);
    reply.addStringValue("0", "farm,2,render01");
    script([&](Script& s) { return s.rulesReply = reply.getStreamStr(); });
    KestrixServerHandle handle(id());
    int n = 0;
    EXPECT_FALSE(handle.getNumTranslationGroups(n));
    const std::string entries = " for a reply of 3 entries";
    EXPECT_EQ(handle.lastError(),
              "Bad reply to GetTranslationGroups: numGroups " + std::to_string(count) + entries);
    EXPECT_FALSE(handle.getNumHostTranslations(n));
    EXPECT_EQ(handle.lastError(), "Bad reply to GetHostTranslations: numHostTranslations " +
                                      std::to_string(count) + entries);
  }
}

TEST(KestrixClientLifecycle, CountedStartsAndStopsWhileAHandleIsAttached) {
  auto first = std::make_unique<KestrixClient>();
  ASSERT_TRUE(first->init());
  ASSERT_TRUE(KestrixClient().init());
  { KestrixClient neverStarted; }
  // Still running: a handle attaches, though nothing listens there.
  auto handle = std::make_unique<KestrixServerHandle>(at(1));
  EXPECT_FALSE(handle->ping(10));
  EXPECT_STRNE(handle->lastError(), "Kestrix client API not initialized");
  first.reset();  // would wait for the handle's connection for ever
  // Stopped: a handle cannot attach and says why.
  KestrixServerHandle later(at(1));
  EXPECT_FALSE(later.ping(10));
  EXPECT_STREQ(later.lastError(), "Kestrix client API not initialized");
  handle.reset();
  EXPECT_TRUE(KestrixClient().init());
}

// KESTRIX_SHARED_CONNECTIONS=1 for this suite (CMakeLists.txt): one shared
// connection, closed once unused for a second.
class KestrixSharedConnectionsFromEnv : public FacadeTest {
 protected:
  // The number of logins so far, after one translation by a new handle.
  int loginsAfterATranslation() {
    KestrixServerHandle handle(id());
    KestrixStrList out;
    EXPECT_TRUE(translate(handle, out)) << handle.lastError();
    return script([](Script& s) { return s.logins; });
  }
};

TEST_F(KestrixSharedConnectionsFromEnv, UnusedConnectionIsClosedAfterTheIdleTime) {
  KestrixMulticastClient::getInstance();  // its start-up search is no part of the idle time
  ASSERT_EQ(loginsAfterATranslation(), 1);
  KestrixClientReleaseUnusedConnections(false);
  EXPECT_EQ(loginsAfterATranslation(), 1) << "closed before its idle time";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  KestrixClientReleaseUnusedConnections(false);
  EXPECT_EQ(loginsAfterATranslation(), 2) << "still open after its idle time";
}

TEST(KestrixTokenizer, SplitsInPlaceAndRestores) {
  char text[] = "a,,b,";
  KestrixTokenizer tokenizer(text, ',');
  Strings pieces;
  for (const char* p = tokenizer.getNext(); p != nullptr; p = tokenizer.getNext())
    pieces.emplace_back(p);
  EXPECT_EQ(pieces, (Strings{"a", "", "b", ""}));
  EXPECT_STREQ(text, "a,,b,");
  char empty[] = "";
  EXPECT_EQ(KestrixTokenizer(empty, ',').getNext(), nullptr);
}

// Alpha is in neither the C locale nor a Western Windows code page.
TEST(KestrixBaseInterface, Utf8ToTheCLocaleMarksWhatItCannotShow) {
  std::string text = "caf\xce\xb1";
  KestrixBaseInterface::utf8ToLocale(text);
  EXPECT_EQ(text, "caf?");
}

}  // namespace
