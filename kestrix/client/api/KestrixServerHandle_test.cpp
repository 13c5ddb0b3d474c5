// The facade against the library's own server context on loopback, with
// scripted methods: request texts, reply splitting, errors, reconnection,
// time-outs, shared connections and the rule caches.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "common/base/rcApi/rcServerContext.h"
#include "kestrix/client/api/KestrixBaseClientAPI.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixServerImp.h"

namespace {

using Kestrix::rcMethod;
using Kestrix::rcParam;
using Kestrix::rcParamString;
using Kestrix::rcParamVoid;
using Kestrix::rcServerContext;

// What the scripted server saw and will answer; shared with its thread.
struct ScriptState {
  std::vector<std::string> translateRequests;
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
    registerMethod(
        rcMethod(*this, "TranslatePaths", translate, rcParamString::getType(), wholeText));
    registerMethod(
        rcMethod(*this, "GetDaemonInfo", daemonInfo, rcParamString::getType(), wholeText));
    registerMethod(
        rcMethod(*this, "GetTranslationGroups", groups, rcParamString::getType(), nullptr));
    registerMethod(rcMethod(*this, "GetHostTranslations", hostTranslations,
                            rcParamString::getType(), nullptr));
    registerMethod(
        rcMethod(*this, "Ping", noReply, rcParamVoid::getType(), nullptr, rcMethod::DELAYED));
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
    info.setDatabase("GRYNN");
    info.setNodePort(static_cast<rcServerContext&>(method.getServerContext()).getPort());
    result.setStringValue(info.toAttrStream().getStreamStr());
    return true;
  }
  static bool groups(void*, const rcMethod& method, const rcParam::Array&, rcParam& result) {
    std::lock_guard<std::mutex> lock(gScript.mutex);
    if (gScript.groupCalls++ < gScript.groupFailures) {
      method.setLastError("Rules are being reloaded");
      return false;
    }
    result.setStringValue(gScript.rulesReply.empty() ? "numGroups 1 10 24 farm,2,render01,render02"
                                                     : gScript.rulesReply);
    return true;
  }
  static bool hostTranslations(void*, const rcMethod&, const rcParam::Array&, rcParam& result) {
    std::lock_guard<std::mutex> lock(gScript.mutex);
    if (!gScript.rulesReply.empty()) {
      result.setStringValue(gScript.rulesReply);
      return true;
    }
    // One rule: srcHost a, srcPath /data, dstHost b, dstPath D:\data.
    result.setStringValue(
        "numHostTranslations 1 10 54 srcHost 1 asrcPath 5 /datadstHost 1 bdstPath 7 D:\\data");
    return true;
  }
  static bool noReply(void*, const rcMethod&, const rcParam::Array&, rcParam&) { return true; }
};

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
    thread = std::make_unique<Kestrix::rcTest::ServerThread>(*server);
  }
  void stopServer() {
    thread.reset();
    server.reset();
  }
  KestrixServerId id() const {
    return KestrixServerId(("127.0.0.1:" + std::to_string(server->getPort())).c_str());
  }
  std::vector<std::string> requests() {
    return script([](Script& s) { return s.translateRequests; });
  }
  void setReply(const std::string& reply) {
    script([&](Script& s) { s.translateReply = reply; });
  }

  KestrixClient client;
  std::unique_ptr<ScriptedServer> server;
  std::unique_ptr<Kestrix::rcTest::ServerThread> thread;
};

KestrixStrList listOf(std::initializer_list<const char*> items) {
  KestrixStrList list;
  for (const char* item : items) list.push_back(item);
  return list;
}

std::vector<std::string> toVector(const KestrixStrList& list) {
  std::vector<std::string> out;
  for (unsigned i = 0; i < list.size(); ++i) out.emplace_back(list[i]);
  return out;
}

// Translates paths from host "s" to host "d", Linux to Linux.
bool translate(KestrixServerHandle& handle, KestrixStrList& out,
               std::initializer_list<const char*> paths = {"/p"}) {
  return handle.translatePaths(listOf(paths), out, "s", "d", KestrixOS::OS_TYPE_LINUX,
                               KestrixOS::OS_TYPE_LINUX);
}

TEST_F(FacadeTest, RequestTextIsHeadThenQuotedCommaJoinedPaths) {
  KestrixServerHandle handle(id());
  setReply("/x/a,/x/b");
  KestrixStrList out;
  ASSERT_TRUE(handle.translatePaths(listOf({"/a 1", "/b,\"q\""}), out, "src", "dst",
                                    KestrixOS::OS_TYPE_LINUX, KestrixOS::OS_TYPE_WINNT))
      << handle.lastError();
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(requests()[0], "\"src\" 2 \"dst\" 3 \"/a 1\",\"/b,\"q\"\"");
  EXPECT_EQ(toVector(out), (std::vector<std::string>{"/x/a", "/x/b"}));
}

TEST_F(FacadeTest, ReplyPiecesAreTakenAsTheyCome) {
  KestrixServerHandle handle(id());
  KestrixStrList out = listOf({"stale"});
  ASSERT_TRUE(handle.translatePaths(KestrixStrList(), out, "s", "d", KestrixOS::OS_TYPE_UNKNOWN,
                                    KestrixOS::OS_TYPE_LINUX));
  EXPECT_EQ(requests().at(0), "\"s\" 0 \"d\" 2 ");  // the head alone
  EXPECT_EQ(out.size(), 0u);
  KestrixStr one("old");
  ASSERT_TRUE(handle.translatePath("/a", one, "s", "d", KestrixOS::OS_TYPE_LINUX,
                                   KestrixOS::OS_TYPE_LINUX));
  EXPECT_STREQ(one.c_str(), "");
  setReply("one,two,three");
  ASSERT_TRUE(translate(handle, out, {"a", "b"}));
  EXPECT_EQ(toVector(out), (std::vector<std::string>{"one", "two", "three"}));
  setReply("one,");
  ASSERT_TRUE(translate(handle, out));
  EXPECT_EQ(toVector(out), (std::vector<std::string>{"one", ""}));
}

TEST_F(FacadeTest, MissingHostsAreTakenFromTheDescription) {
  KestrixServerHandle handle(id());
  KestrixStrList out;
  ASSERT_TRUE(handle.translatePaths(listOf({"/p"}), out, nullptr, nullptr,
                                    KestrixOS::OS_TYPE_UNKNOWN, KestrixOS::OS_TYPE_MACOSX));
  EXPECT_EQ(requests().at(0), "\"Server Display\" 0 \"srvhost\" 4 \"/p\"");
  EXPECT_STREQ(handle.getHostName(), "srvhost");
}

TEST_F(FacadeTest, FailuresKeepTheOutput) {
  KestrixServerHandle handle(id());
  KestrixStrList out = listOf({"kept"});
  EXPECT_FALSE(handle.translatePaths(listOf({"/p"}), out, "", "d", KestrixOS::OS_TYPE_LINUX,
                                     KestrixOS::OS_TYPE_LINUX));
  EXPECT_STREQ(handle.lastError(), "Invalid source host name given");
  EXPECT_FALSE(handle.translatePaths(listOf({"/p"}), out, "s", "", KestrixOS::OS_TYPE_LINUX,
                                     KestrixOS::OS_TYPE_LINUX));
  EXPECT_STREQ(handle.lastError(), "Invalid destination host name given");
  EXPECT_TRUE(requests().empty());
  EXPECT_FALSE(handle.isConnected()) << "refused without traffic";
  script([](Script& s) { return s.translateFails = true; });
  EXPECT_FALSE(translate(handle, out));
  EXPECT_STREQ(handle.lastError(), "Cannot translate path");
  EXPECT_EQ(toVector(out), (std::vector<std::string>{"kept"}));
  EXPECT_TRUE(handle.isConnected()) << "an error reply keeps the connection";
}

TEST_F(FacadeTest, RefusedConnectionIsLastErrorAndRetriedLater) {
  const KestrixServerId serverId = id();
  stopServer();
  KestrixServerHandle handle(serverId);
  KestrixStrList out;
  EXPECT_FALSE(translate(handle, out));
  EXPECT_STRNE(handle.lastError(), "");
  EXPECT_EQ(handle.getHostName(), nullptr);
  startServer(serverId.getPort());
  EXPECT_TRUE(translate(handle, out)) << handle.lastError();
}

struct CountingCallback : KestrixClientConnection::ConnectCallback {
  int calls = 0;
  void connected(KestrixClientConnection&) override { ++calls; }
};

std::vector<std::string> gDisconnected;
void recordDisconnect(const KestrixServerId& id) {
  gDisconnected.emplace_back(id.getId());
}

TEST_F(FacadeTest, ClosedConnectionIsReopenedOnceWithCallbacks) {
  // A fixed port is listened on with address reuse, so that the restarted
  // server gets it back while the closed connections linger.
  const KestrixServerId serverId = id();
  stopServer();
  startServer(serverId.getPort());
  KestrixServerHandle handle(serverId);
  KestrixStrList out;
  ASSERT_TRUE(translate(handle, out));
  CountingCallback callback;
  handle.imp()->base->addConnectCallback(&callback);
  gDisconnected.clear();
  KestrixRegisterDisconnectCallBack(recordDisconnect);
  stopServer();  // closes the connection from the server's side
  startServer(serverId.getPort());
  EXPECT_TRUE(translate(handle, out, {"/q"})) << handle.lastError();
  EXPECT_EQ(callback.calls, 1);
  EXPECT_EQ(gDisconnected.size(), 1u);
  EXPECT_EQ(requests().back(), "\"s\" 2 \"d\" 2 \"/q\"");
  handle.imp()->base->removeConnectCallback(&callback);
  KestrixRegisterDisconnectCallBack(nullptr);
}

TEST_F(FacadeTest, ReplyTimeOutClosesConnectionAndCallsDisconnectCallback) {
  KestrixServerHandle handle(id());
  gDisconnected.clear();
  KestrixRegisterDisconnectCallBack(recordDisconnect);
  EXPECT_FALSE(handle.ping(200));
  char text[256];
  Kestrix::CoIoDescriptor::getIoError(Kestrix::CoIoDescriptor::IO_TIMED_OUT, text, sizeof text);
  EXPECT_STREQ(handle.lastError(), text);
  EXPECT_EQ(gDisconnected.size(), 1u);
  EXPECT_FALSE(handle.isConnected());
  KestrixRegisterDisconnectCallBack(nullptr);
}

TEST_F(FacadeTest, TwoHandlesShareOneConnection) {
  KestrixServerHandle first(id());
  KestrixServerHandle second(id());
  KestrixStrList out;
  ASSERT_TRUE(translate(first, out));
  ASSERT_TRUE(translate(second, out));
  ASSERT_NE(first.imp()->shared.get(), nullptr);
  EXPECT_EQ(first.imp()->shared.get(), second.imp()->shared.get());
  EXPECT_EQ(server->getNbClients(), 1);
  KestrixServerHandle copy(first);
  EXPECT_NE(copy.imp(), first.imp());
  EXPECT_EQ(copy.getId(), first.getId());
}

// Attaching a handle looks through every shared connection: that must never
// wait for a call on another server.
class TwoServersTest : public FacadeTest {
 public:
  void SetUp() override {
    FacadeTest::SetUp();
    otherThread = std::make_unique<Kestrix::rcTest::ServerThread>(other);
  }
  void TearDown() override {
    otherThread.reset();
    FacadeTest::TearDown();
  }
  bool attachOther() {
    KestrixServerHandle handle(
        KestrixServerId(("127.0.0.1:" + std::to_string(other.getPort())).c_str()));
    return handle.imp()->attach();
  }
  std::future<bool> attachToOther() {
    return std::async(std::launch::async, [this] { return attachOther(); });
  }
  static bool withinTwoSeconds(std::future<bool>& attaching) {
    return attaching.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  }

  ScriptedServer other;
  std::unique_ptr<Kestrix::rcTest::ServerThread> otherThread;
};

TEST_F(TwoServersTest, CallInFlightOnOneServerDoesNotHoldUpHandlesOnAnother) {
  KestrixServerHandle busy(id());
  script([](Script& s) { return s.blockNext = true; });
  auto call = std::async(std::launch::async, [&] {
    KestrixStrList out;
    return translate(busy, out);
  });
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
  auto call = std::async(std::launch::async, [&] {
    KestrixStrList out;
    return translate(handle, out);
  });
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

TEST_F(FacadeTest, CacheFillThatFailsIsRetried) {
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
  EXPECT_STREQ(handle.lastError(), "Translation group index out of range");
  EXPECT_FALSE(handle.getTranslationGroup(1, group));
  EXPECT_EQ(script([](Script& s) { return s.groupCalls; }), 2) << "the filled list is kept";
}

TEST_F(FacadeTest, HostTranslationsAndMissingMethod) {
  KestrixServerHandle handle(id());
  KestrixServerHandle::HostTranslation translation;
  ASSERT_TRUE(handle.getHostTranslation(0, translation)) << handle.lastError();
  EXPECT_STREQ(translation.getDestinationPath(), "D:\\data");
  EXPECT_FALSE(handle.getHostTranslation(1, translation));
  EXPECT_STREQ(handle.lastError(), "Host Translation index out of range");
  int n = 0;
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

TEST_F(FacadeTest, VersionComparisonAgainstDescription) {
  KestrixServerHandle handle(id());
  bool atLeast = false;
  ASSERT_TRUE(handle.compareVersion(atLeast, 2020, 2, 0, 236));
  EXPECT_TRUE(atLeast);
  ASSERT_TRUE(handle.compareVersion(atLeast, 2020, 2, 0, 237));
  EXPECT_FALSE(atLeast);
  EXPECT_TRUE(handle.isDatabase("GRYNN"));
}

TEST(KestrixClientLifecycle, CountedStartsAndStopsWhileAHandleIsAttached) {
  auto first = std::make_unique<KestrixClient>();
  ASSERT_TRUE(first->init());
  {
    KestrixClient second;
    ASSERT_TRUE(second.init());
  }
  { KestrixClient neverStarted; }
  // Still running: a handle attaches, though nothing listens there.
  auto handle = std::make_unique<KestrixServerHandle>(KestrixServerId("127.0.0.1:1"));
  EXPECT_FALSE(handle->ping(10));
  EXPECT_STRNE(handle->lastError(), "Kestrix client API not initialized");
  first.reset();  // would wait for the handle's connection for ever
  // Stopped: a handle cannot attach and says why.
  KestrixServerHandle later(KestrixServerId("127.0.0.1:1"));
  EXPECT_FALSE(later.ping(10));
  EXPECT_STREQ(later.lastError(), "Kestrix client API not initialized");
  handle.reset();
  KestrixClient again;
  EXPECT_TRUE(again.init());
}

// KESTRIX_SHARED_CONNECTIONS=1 for this suite (CMakeLists.txt): one shared
// connection, closed once unused for a second.
class KestrixSharedConnectionsFromEnv : public FacadeTest {
 protected:
  bool translateOnce() {
    KestrixServerHandle handle(id());
    KestrixStrList out;
    return translate(handle, out);
  }
  int logins() {
    return script([](Script& s) { return s.logins; });
  }
};

TEST_F(KestrixSharedConnectionsFromEnv, UnusedConnectionIsClosedAfterTheIdleTime) {
  ASSERT_TRUE(translateOnce());
  KestrixClientReleaseUnusedConnections(false);
  ASSERT_TRUE(translateOnce());
  EXPECT_EQ(logins(), 1) << "closed before its idle time";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  KestrixClientReleaseUnusedConnections(false);
  ASSERT_TRUE(translateOnce());
  EXPECT_EQ(logins(), 2) << "still open after its idle time";
}

TEST(KestrixTokenizer, SplitsInPlaceAndRestores) {
  char text[] = "a,,b,";
  KestrixTokenizer tokenizer(text, ',');
  std::vector<std::string> pieces;
  for (const char* p = tokenizer.getNext(); p != nullptr; p = tokenizer.getNext())
    pieces.emplace_back(p);
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_STREQ(text, "a,,b,");
  char empty[] = "";
  KestrixTokenizer none(empty, ',');
  EXPECT_EQ(none.getNext(), nullptr);
}

TEST(KestrixBaseInterface, LocaleConversionsInUtf8AndCLocales) {
  EXPECT_EQ(KestrixBaseInterface::localeToUTF8("plain"), "plain");
  std::string text = "caf\xc3\xa9";
  KestrixBaseInterface::utf8ToLocale(text);  // the C locale has no e-acute
  EXPECT_EQ(text, "caf?");
}

}  // namespace
