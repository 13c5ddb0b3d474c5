#include "kestrix/client/api/KestrixResolver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>

#include "common/base/loggerBase/EnvVarRegistry.h"
#include "common/base/loggerBase/WineTestSupport.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixMulticastClient.h"

namespace {

constexpr KestrixResolver::Type kMeta = KestrixResolver::IP_METADATA;
constexpr KestrixResolver::Type kData = KestrixResolver::IP_DATA;

// Each test flags addresses of its own: the cache lives as long as the process.
KestrixDaemonInfo listing(std::initializer_list<const char*> metadata, const char* data = "") {
  KestrixDaemonInfo info;
  unsigned i = 0;
  for (const char* ip : metadata) info.setMetadataIP(i++, ip);
  info.setDataIP(0, data);
  info.setStorageId(*metadata.begin());
  return info;
}

std::string ips(const KestrixDaemonInfo& info, KestrixResolver::Type type) {
  KestrixResolver resolver(info);
  std::string all;
  for (unsigned i = 0; *resolver.getIP(type, i) != '\0'; ++i)
    all += resolver.getIP(type, i) + std::string(" ");
  return all;
}

TEST(KestrixResolver, FlaggedAddressesAreLeftOutOfResolversMadeAfterwards) {
  KestrixClient client;
  ASSERT_TRUE(client.init());
  const KestrixDaemonInfo info = listing({"198.18.1.1", "198.18.1.2", "198.18.1.3"}, "198.18.1.9");
  KestrixResolver before(info);
  EXPECT_STREQ(before.getIP(kMeta, 1), "198.18.1.2");
  KestrixResolver::flagInaccesibleIP("198.18.1.2");
  EXPECT_STREQ(before.getIP(kMeta, 1), "198.18.1.2") << "a resolver's list is made once";
  EXPECT_EQ(ips(info, kMeta), "198.18.1.1 198.18.1.3 ");
  EXPECT_EQ(ips(info, kData), "198.18.1.9 ");
  EXPECT_STREQ(KestrixResolver(info).getIP(KestrixResolver::Type(2), 0), "");
  KestrixResolver::flagInaccesibleIP("198.18.1.1");
  KestrixResolver::flagInaccesibleIP("198.18.1.3");
  EXPECT_EQ(ips(info, kMeta), "");
}

// Also across a restart of the library, which makes a new discovery client.
TEST(KestrixResolver, NewsOfAServerMakesEveryAddressItListsUsableAgain) {
  const KestrixDaemonInfo info = listing({"198.18.2.1", "198.18.2.2"}, "198.18.2.9");
  for (int round = 0; round < 2; ++round) {
    KestrixClient client;
    ASSERT_TRUE(client.init());
    for (const char* ip : {"198.18.2.1", "198.18.2.2", "198.18.2.9"})
      KestrixResolver::flagInaccesibleIP(ip);
    ASSERT_EQ(ips(info, kMeta) + ips(info, kData), "");
    KestrixMulticastClient::getInstance().add(info);
    EXPECT_EQ(ips(info, kMeta), "198.18.2.1 198.18.2.2 ") << "round " << round;
    EXPECT_EQ(ips(info, kData), "198.18.2.9 ") << "round " << round;
  }
}

TEST(KestrixResolverOwnNetns, AnAddedInterfaceMakesEveryAddressUsableAgain) {
  if (Kestrix::runningUnderWine())
    GTEST_SKIP() << "under wine, std::system has no ip command, and sockets live in the "
                    "network namespace of the wine server, not the test's own";
  KestrixClient client;
  ASSERT_TRUE(client.init());
  const KestrixDaemonInfo info = listing({"198.18.4.1"});
  KestrixResolver::flagInaccesibleIP("198.18.4.1");
  ASSERT_EQ(ips(info, kMeta), "");
  ASSERT_EQ(std::system("ip link add kxr type veth peer name kxs && "
                        "ip addr add 198.18.4.9/24 dev kxr && ip link set kxr up"),
            0);
  // Liveness, not timing: the change has 5 s to arrive.
  for (int i = 0; i < 500 && ips(info, kMeta).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ips(info, kMeta), "198.18.4.1 ");
}

// Run with KESTRIX_INACTIVE_IPS_CACHE_SIZE=1 and ..._TIMEOUT_SEC=1.
TEST(KestrixResolverFromEnv, CacheSizeAndLifetimeComeFromTheEnvironment) {
  KestrixClient client;
  ASSERT_TRUE(client.init());
  const KestrixDaemonInfo info = listing({"198.18.3.1", "198.18.3.2"});
  KestrixResolver::flagInaccesibleIP("198.18.3.1");
  KestrixResolver::flagInaccesibleIP("198.18.3.2");
  EXPECT_EQ(ips(info, kMeta), "198.18.3.1 ") << "one entry at most: the older one made way";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(ips(info, kMeta), "198.18.3.1 198.18.3.2 ");
  std::ostringstream dump;
  Kestrix::EnvVarRegistry::getInstance()->dump(dump);
  EXPECT_NE(dump.str().find("name : KESTRIX_INACTIVE_IPS_CACHE_SIZE\nvalue : 1\n"),
            std::string::npos);
  EXPECT_NE(dump.str().find("name : KESTRIX_INACTIVE_IPS_CACHE_TIMEOUT_SEC\n"), std::string::npos);
}

}  // namespace
