#include "kestrix/client/api/KestrixMulticastProtocol.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/loggerBase/CoTestMsgCapture.h"

namespace {

using Kestrix::CoTestMsgCapture;
using Kestrix::rcAttrStream;
using P = KestrixMulticastProtocol;

TEST(KestrixMulticastProtocol, CreateAndParseRequests) {
  EXPECT_EQ(P::create(P::FIND_SERVERS, rcAttrStream()), "Version 1 1Type 2 74Data 0 ");
  rcAttrStream filter("Database 5 GRYNN"), data("old 1 x");
  P::RequestType type = P::INVALID;
  ASSERT_TRUE(P::parseRequest(P::create(P::REMOVE_SERVER, filter).c_str(), type, data));
  EXPECT_EQ(type, P::REMOVE_SERVER);
  EXPECT_EQ(data, filter);
  EXPECT_TRUE(P::parseRequest("Version 1 2Type 2 70Data 0 ", type, data));
  EXPECT_TRUE(data.isEmpty());
  EXPECT_TRUE(P::parseRequest("Version 1 1Type 2 75Data 0 ", type, data));
  EXPECT_STREQ(P::getRequestTypeStr(type), "END_OF_SERVICES");
  EXPECT_STREQ(P::getRequestTypeStr(static_cast<P::RequestType>(76)), "UNKNOWN");
}

TEST(KestrixMulticastProtocol, ParseRejectsWithItsMessages) {
  const std::pair<const char*, const char*> cases[] = {
      {"Type 2 74Data 0 ", "Request is lacking a version tag: Type 2 74Data 0 ."},
      {"Version 1 0Type 2 74Data 0 ", "Request's version is incompatible: 0"},
      {"Version 1 xType 2 74Data 0 ", "Request's version is incompatible: 0"},
      {"Version 1 1Data 0 ", "Request is lacking a type tag: Version 1 1Data 0 ."},
      {"Version 1 1Type 2 69Data 0 ", "Unknown request type: 69."},
      {"Version 1 1Type 2 76Data 0 ", "Unknown request type: 76."},
      {"Version 1 1Type 2 71", "Request is lacking data: Version 1 1Type 2 71."}};
  for (const auto& [text, message] : cases) {
    CoTestMsgCapture capture;
    P::RequestType type = P::INVALID;
    rcAttrStream data;
    EXPECT_FALSE(P::parseRequest(text, type, data)) << text;
    EXPECT_EQ(capture.count(message), 1) << text;
  }
}

TEST(KestrixMulticastProtocol, DecodeSkipsMissingNodesAndFilters) {
  std::list<KestrixDaemonInfo> servers(1);  // entries already there are kept
  rcAttrStream list("Count 1 3");
  list.addStringValue("Node0", "Database 5 GRYNN");
  list.addStringValue("Node2", "Database 5 OTHERNodePort 4 7000");
  CoTestMsgCapture capture;
  P::decode(list.getStreamStr(), servers, nullptr);
  ASSERT_EQ(servers.size(), 3u);
  EXPECT_EQ((++servers.begin())->getNodePort(), 7549);
  EXPECT_EQ(servers.back().getNodePort(), 7000);
  EXPECT_EQ(capture.count("Stream is missing node 1 of 3."), 1);
  EXPECT_EQ(capture.lines().size(), 1u);
  servers.clear();
  P::decode(list.getStreamStr(), servers, "OTHER");
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_STREQ(servers.front().getDatabase(), "OTHER");
}

TEST(KestrixMulticastProtocol, HostileCountCostsNothing) {
  // Whatever else the text holds, a huge count never makes decode look for
  // (or report) nodes one by one.
  rcAttrStream list("Count 10 2000000000");
  list.addStringValue("Node0", "Database 5 GRYNN");
  std::string text = list.getStreamStr();
  for (int i = 0; i < 5000; ++i) text += "Junk 0 ";
  CoTestMsgCapture capture;
  std::list<KestrixDaemonInfo> servers;
  P::decode(text, servers, nullptr);
  EXPECT_EQ(servers.size(), 1u);
  EXPECT_LE(capture.lines().size(), 2u);
}

// A signature binds type, data and time to the secret: a changed byte, a
// retyped request, another secret or an old datagram all fail.
TEST(KestrixMulticastProtocol, SignedDatagramsVerifyOnlyAsSent) {
  const rcAttrStream data("StorageId 2 s1");
  const std::string text = P::create(P::DISCOVER_SERVERS, data, "key", 1000);
  P::RequestType type = P::INVALID;
  rcAttrStream parsed;
  ASSERT_TRUE(P::parseRequest(text.c_str(), type, parsed));
  EXPECT_EQ(parsed, data);
  EXPECT_TRUE(P::isSigned(text.c_str(), "key", 1000 + P::MAX_SKEW_SECONDS));
  EXPECT_FALSE(P::isSigned(text.c_str(), "key", 1001 + P::MAX_SKEW_SECONDS));
  EXPECT_FALSE(P::isSigned(text.c_str(), "other", 1000));
  EXPECT_FALSE(P::isSigned(P::create(P::DISCOVER_SERVERS, data).c_str(), "key", 1000));
  std::string forged = text;
  forged.replace(forged.find("s1"), 2, "s2");
  EXPECT_FALSE(P::isSigned(forged.c_str(), "key", 1000));
  forged = text;
  forged.replace(forged.find("71"), 2, "73");
  EXPECT_FALSE(P::isSigned(forged.c_str(), "key", 1000));
}

// A receiver lists the sender first and keeps a bounded number of addresses.
TEST(KestrixMulticastProtocol, TakenDescriptionsListTheSenderFirstAndAreBounded) {
  KestrixDaemonInfo info;
  for (unsigned i = 0; i < 40; ++i) info.setMetadataIP(i, ("10.0.0." + std::to_string(i)).c_str());
  P::takeFrom(info, "::ffff:10.0.0.7");
  EXPECT_STREQ(info.getMetadataIP(0), "10.0.0.7");
  EXPECT_STREQ(info.getMetadataIP(1), "10.0.0.0");
  EXPECT_STREQ(info.getMetadataIP(P::MAX_ADDRESSES - 1), "10.0.0.15");  // 7 is not repeated
  EXPECT_STREQ(info.getMetadataIP(P::MAX_ADDRESSES), "");
  EXPECT_TRUE(P::hasAddress(info, "10.0.0.15"));
  EXPECT_FALSE(P::hasAddress(info, "10.0.0.16"));
}

}  // namespace
