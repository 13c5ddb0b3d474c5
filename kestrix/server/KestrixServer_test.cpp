#include "kestrix/server/KestrixServer.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "kestrix/client/api/KestrixOS.h"

namespace Kestrix {
namespace {

// Translations run beside the loop, yet each client's replies come in the
// order it asked, a refusal's and an async request's (none) included.
TEST(KestrixServerTranslation, RepliesKeepTheirOrderBehindAWorkersTranslation) {
  KestrixServerConfig config;
  config.hostName = "fs";
  config.storageId = "6f1d3c2a-8b4e-4f7a-9c0d-1e2f3a4b5c6d";  // keeps /var/lib/kestrix untouched
  config.rules.hostTranslations = {{"fs", "/data", "m1", "/mnt/data"}};
  KestrixServer server(0, config);
  ASSERT_TRUE(server.isValid());
  rcTest::ServerThread thread(server);
  rcConnectionInfo login(0x0001000200030004ull);
  login.fillInfo(nullptr);
  std::string request = "sync 0 _login " + login.toAttrStream() + "\nsync 0 TranslatePaths ";
  std::string expected = "ok ";
  for (int i = 0; i < 50000; ++i) {
    request += (i == 0 ? "\"fs\" 2 \"m1\" 2 \"/data/" : ",\"/data/") + std::to_string(i) + "\"";
    expected += (i == 0 ? "/mnt/data/" : ",/mnt/data/") + std::to_string(i);
  }
  rcTest::RawClient client(server.getPort());
  client.send(request + "\nsync 0 _ping \nasync 0 TranslatePaths \"fs\" 2 \"m1\" 2 \"/data\"\n" +
              "sync 0 TranslatePaths \"fs\" 9 \"m1\" 2 \"/data\"\nsync 0 _ping \n");
  EXPECT_EQ(client.readLine(), "ok ");
  EXPECT_EQ(client.readLine(), expected);
  EXPECT_EQ(client.readLine(), "ok ");
  EXPECT_EQ(client.readLine(), "error Unknown source OS type '9'");
  EXPECT_EQ(client.readLine(), "ok ");
}

TEST(KestrixEventPublisherPeers, AnIPv6Slash64IsOnePeer) {
  using P = KestrixEventPublisher;
  EXPECT_EQ(P::peerOf("2001:db8:1:2:aaaa::1"), P::peerOf("2001:db8:1:2:bbbb:c:d:9"));
  EXPECT_NE(P::peerOf("2001:db8:1:2::1"), P::peerOf("2001:db8:1:3::1"));
  EXPECT_EQ(P::peerOf("198.18.0.3"), "198.18.0.3");
}

}  // namespace
}  // namespace Kestrix
