#include "common/base/network/CoNetworkDispatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkConfig.h"

namespace Kestrix {
namespace {

using Dispatcher = CoNetworkDispatcher;
using Strings = std::vector<std::string>;

// Hears "+name" and "-name"; take() checks removals came first, sorts each group.
struct Recorder : Dispatcher::Observer {
  void notify(Dispatcher::Event event, const CoNetworkInterface& itf) override {
    if (!Dispatcher::IPv4Filter(itf)) return;  // link-local IPv6 comes and goes on its own time
    std::lock_guard<std::mutex> guard(mutex);
    events.push_back((event == Dispatcher::EVENT_ADDED ? "+" : "-") + itf.getName());
  }
  Strings take() {
    std::lock_guard<std::mutex> guard(mutex);
    auto removed = [](const std::string& e) { return e[0] == '-'; };
    EXPECT_TRUE(std::is_partitioned(events.begin(), events.end(), removed));
    const auto added = std::partition_point(events.begin(), events.end(), removed);
    std::sort(events.begin(), added);
    std::sort(added, events.end());
    return std::move(events);
  }
  std::mutex mutex;
  Strings events;
};

// Interfaces made in a namespace of the test's own: kxa, kxb and kxc up
// (the default route leaves by kxc), kxd down.
class CoNetworkDispatcherOwnNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(run("ip link add kxa type veth peer name kxb && ip link add kxc type veth peer name "
                  "kxd && ip addr add 198.18.0.1/24 dev kxa && ip addr add 198.18.1.1/24 dev kxb "
                  "&& ip addr add 198.18.2.1/24 dev kxc && ip addr add 198.18.3.1/24 dev kxd && "
                  "ip link set kxa up && ip link set kxb up && ip link set kxc up && "
                  "ip route add default dev kxc"),
              0);
  }
  void TearDown() override {
    unsetenv("QV_NETWORK_CFG_FILE");
    std::remove(file.c_str());
    CoNetworkConfig::getInstance().reset(false);
    run("ip link del kxc; for i in kxa kxe; do ip link del $i 2>/dev/null; done");
  }
  static int run(const std::string& command) { return std::system(command.c_str()); }
  void configure(const char* text) {
    EXPECT_TRUE(std::ofstream(file) << text) << file;
    setenv("QV_NETWORK_CFG_FILE", file.c_str(), 1);
  }
  // "name ip attributes" of the IPv4 interfaces of one kind, in order.
  Strings list(Dispatcher& dispatcher, Dispatcher::Type type) {
    std::vector<CoNetworkInterface> interfaces;
    EXPECT_TRUE(dispatcher.getInterfaces(interfaces, type, Dispatcher::IPv4Filter));
    Strings texts;
    for (const CoNetworkInterface& itf : interfaces)
      texts.push_back(itf.getName() + " " + itf.getIP() + " " +
                      CoNetworkInterface::getAttributesStr(itf.getAttributes()));
    return texts;
  }

  CoNetwork::Guard network;
  std::string file = ::testing::TempDir() + "kx_dispatcher_" + std::to_string(getpid()) + ".cfg";
};

TEST_F(CoNetworkDispatcherOwnNetns, WithoutNamesEveryUpInterfaceLoopbackFirstThenGateway) {
  configure("");
  Dispatcher dispatcher;
  const Strings expected{"lo 127.0.0.1 loopback|ipv4|multicast",
                         "kxc 198.18.2.1 ipv4|multicast|gateway", "kxa 198.18.0.1 ipv4|multicast",
                         "kxb 198.18.1.1 ipv4|multicast"};
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_DATA), expected);
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_METADATA), expected);
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_MULTICAST), expected);
  std::vector<CoNetworkInterface> all;
  ASSERT_TRUE(dispatcher.getInterfaces(all, Dispatcher::TYPE_ALL));
  EXPECT_TRUE(std::none_of(all.begin(), all.end(), [](auto& i) { return i.getName() == "kxd"; }));
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](auto& i) {
    return i.getIP() == "::1" && i.getAttributes() == 13 && i.getNetmask().find("ffff:") == 0;
  }));
  // An IPv6 default route makes its interface a gateway as well.
  ASSERT_EQ(run("ip -6 route add default dev kxb"), 0);
  ASSERT_TRUE(dispatcher.refresh(true));
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_DATA)[1], "kxb 198.18.1.1 ipv4|multicast|gateway");
}

TEST_F(CoNetworkDispatcherOwnNetns, NamedInterfaceThenStarRanksItFirstAndMissingNamesWarn) {
  configure("[Interfaces]\nData = kxb, *\nMetadata = nosuch, kxb\nMulticast = kxb, kxd\n");
  CoTestMsgCapture capture;
  Dispatcher dispatcher;
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_DATA),
            (Strings{"lo 127.0.0.1 loopback|ipv4", "kxb 198.18.1.1 ipv4|multicast",
                     "kxc 198.18.2.1 ipv4|gateway", "kxa 198.18.0.1 ipv4"}));
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_METADATA),
            (Strings{"lo 127.0.0.1 loopback|ipv4", "kxb 198.18.1.1 ipv4|multicast"}));
  EXPECT_EQ(list(dispatcher, Dispatcher::TYPE_MULTICAST), Strings{"kxb 198.18.1.1 ipv4|multicast"});
  ASSERT_TRUE(dispatcher.refresh(true));
  for (const char* text : {"Metadata interface 'nosuch' is invalid or down",
                           "Multicast interface 'kxd' is invalid or down"})
    EXPECT_EQ(capture.count(text), 2) << text;
  EXPECT_EQ(capture.lines().size(), 4u);
}

TEST_F(CoNetworkDispatcherOwnNetns, VanishedInterfacesAreRemovedBeforeNewOnesAdded) {
  configure("[Interfaces]\nMetadata = kxa\n");
  Dispatcher dispatcher;
  Recorder data, metadata;
  dispatcher.addObserver(Dispatcher::TYPE_DATA, &data);
  dispatcher.addObserver(Dispatcher::TYPE_METADATA, &metadata);
  ASSERT_TRUE(dispatcher.refresh(false));
  EXPECT_EQ(data.take(), (Strings{"+kxa", "+kxb", "+kxc", "+lo"}));
  EXPECT_EQ(metadata.take(), (Strings{"+kxa", "+lo"}));
  ASSERT_EQ(run("ip link del kxa && ip link add kxe type veth peer name kxf && "
                "ip addr add 198.18.4.1/24 dev kxe && ip link set kxe up"),
            0);
  ASSERT_TRUE(dispatcher.refresh(true));
  EXPECT_EQ(data.take(), (Strings{"-kxa", "-kxb", "+kxe"}));
  EXPECT_EQ(metadata.take(), Strings{"-kxa"});
}

// Resets on another thread beside refreshes and destruction: no deadlock,
// no crash, and the monitor still hears the configuration afterwards.
TEST_F(CoNetworkDispatcherOwnNetns, MonitoredDispatcherFollowsConfigurationResets) {
  configure("");
  Dispatcher dispatcher(Dispatcher::FLAG_MONITOR);
  Recorder multicast;
  dispatcher.addObserver(Dispatcher::TYPE_MULTICAST, &multicast);
  std::atomic<bool> stop{false};
  std::thread resets([&stop] {
    while (!stop) CoNetworkConfig::getInstance().reset(true);
  });
  std::vector<CoNetworkInterface> data;
  for (int i = 0; i < 40; ++i) {
    Dispatcher passing(Dispatcher::FLAG_MONITOR);  // destroyed while a reset may refresh it
    EXPECT_TRUE(dispatcher.refresh(true) && dispatcher.getInterfaces(data, Dispatcher::TYPE_DATA));
  }
  stop = true;
  resets.join();
  EXPECT_EQ(multicast.take(), (Strings{"+kxa", "+kxb", "+kxc", "+lo"}));
  configure("[Interfaces]\nMulticast = kxb\n");
  CoNetworkConfig::getInstance().reset(true);
  EXPECT_EQ(multicast.take(), (Strings{"-kxa", "-kxc", "-lo"}));
}

TEST_F(CoNetworkDispatcherOwnNetns, WatcherTellsObserversOfAnInterfaceAddedThenRemoved) {
  configure("");
  Dispatcher dispatcher(Dispatcher::FLAG_MONITOR);
  Recorder all;
  dispatcher.addObserver(Dispatcher::TYPE_ALL, &all);
  ASSERT_TRUE(dispatcher.refresh(false));
  all.take();
  // Liveness, not timing: each change has 5 s to arrive.
  auto awaitEvent = [&all](const Strings& expected) {
    for (int i = 0; i < 500; ++i) {
      if (std::lock_guard<std::mutex> guard(all.mutex); all.events.size() >= expected.size()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(all.take(), expected);
  };
  ASSERT_EQ(run("ip link add kxe type veth peer name kxf && ip addr add 198.18.4.1/24 dev kxe && "
                "ip link set kxe up"),
            0);
  awaitEvent({"+kxe"});
  ASSERT_EQ(run("ip link del kxe"), 0);
  awaitEvent({"-kxe"});
  dispatcher.removeObserver(Dispatcher::TYPE_ALL, &all);
}

}  // namespace
}  // namespace Kestrix
