#include "kestrix/client/api/KestrixDaemonInfo.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using Kestrix::rcAttrStream;

KestrixDaemonInfo fullRecord() {
  KestrixDaemonInfo info;
  info.setMetadataIP(0, "10.1.0.5");
  info.setMetadataIP(1, "10.2.0.5");
  info.setDataIP(0, "10.3.0.5");
  info.setHostName("render01");
  info.setDisplayName("Render One");
  info.setOsType(KestrixOS::OS_TYPE_LINUX);
  info.setDatabase("GRYNN");
  info.setNodePort(7549);
  info.setFramePort(7550);
  info.setVersionMajorNumber(2020);
  info.setProduct("Kestrix");
  info.setVendor("Maker");
  info.setProductVersionMajorNumber(4);
  info.setProductVersionString("4.0.0");
  info.setStorageId("store-7");
  info.setHostUUID("123e4567-e89b-12d3-a456-426614174000");
  return info;
}

TEST(KestrixDaemonInfo, WriteThenReadGivesEqualRecord) {
  const KestrixDaemonInfo info = fullRecord();
  const rcAttrStream stream = info.toAttrStream();
  EXPECT_EQ(KestrixDaemonInfo(stream), info);
  // Key order as servers and older readers expect it.
  const std::string text = stream.getStreamStr();
  EXPECT_EQ(text.rfind("IP0 8 10.1.0.5IP1 8 10.2.0.5FrameIP0 8 10.3.0.5Hostname 8 10.1.0.5", 0),
            0u);
  EXPECT_LT(text.find("ProductVersionStr"), text.find("ProductBuild"));
  EXPECT_NE(text.find("OSType 5 Linux"), std::string::npos);
}

TEST(KestrixDaemonInfo, MissingAddressesAndNamesFallBack) {
  const KestrixDaemonInfo info(rcAttrStream("Hostname 6 edit01"));
  EXPECT_STREQ(info.getMetadataIP(0), "edit01");
  EXPECT_STREQ(info.getHostName(), "edit01");
  EXPECT_STREQ(info.getDataIP(0), "edit01");
  EXPECT_STREQ(info.getDisplayName(), "edit01");
  EXPECT_STREQ(info.getProduct(), "unknown");
  KestrixDaemonInfo noData = fullRecord();
  noData.setDataIP(0, "");
  EXPECT_STREQ(KestrixDaemonInfo(noData.toAttrStream()).getDataIP(0), "10.1.0.5");
}

TEST(KestrixDaemonInfo, ReadingRules) {
  // A gap ends the address list; protocol 2 has no storage id.
  const KestrixDaemonInfo info(rcAttrStream(
      "IP0 8 10.0.0.1IP2 8 10.0.0.3OSType 5 linuxProductVersionMajor 1 4ProductVersionMinor 1 1"
      "ProductVersionMaint 1 2StorageId 1 sVersionMajor 1 2"));
  EXPECT_STREQ(info.getMetadataIP(0), "10.0.0.1");
  EXPECT_STREQ(info.getMetadataIP(2), "");
  EXPECT_EQ(info.getOsType(), KestrixOS::OS_TYPE_LINUX);
  EXPECT_STREQ(info.getProductVersionString(), "4.1.2");
  EXPECT_STREQ(info.getStorageId(), "");
  EXPECT_EQ(KestrixDaemonInfo(rcAttrStream("OSType 4 BeOS")).getOsType(),
            KestrixOS::OS_TYPE_UNKNOWN);
}

TEST(KestrixDaemonInfo, SixtyFifthAddressIsRefused) {
  KestrixDaemonInfo info;
  testing::internal::CaptureStdout();
  info.setMetadataIP(64, "10.9.9.9");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Exceeding maximum number of IPs allowed, ignoring 10.9.9.9\n");
  EXPECT_STREQ(info.getMetadataIP(64), "");
}

TEST(KestrixDaemonInfo, OrderingByDisplayNameThenDatabase) {
  KestrixDaemonInfo a, b;
  a.setDisplayName("alpha");
  b.setDisplayName("beta");
  EXPECT_TRUE(a < b);
  b.setDisplayName("alpha");
  a.setDatabase("Z");
  b.setDatabase("A");
  EXPECT_TRUE(b < a);
}

TEST(KestrixDaemonInfo, SameServerByStorageIdThenUUIDThenAddress) {
  KestrixDaemonInfo a = fullRecord();
  KestrixDaemonInfo b = fullRecord();
  b.resetIPs();
  b.setMetadataIP(0, "10.99.0.1");
  EXPECT_TRUE(a.isSameServer(b));  // same storage id, different addresses
  b.setStorageId("store-8");
  EXPECT_FALSE(a.isSameServer(b));

  a.setStorageId("");
  b.setStorageId("");
  EXPECT_TRUE(a.isSameServer(b));  // same host UUID
  b.setHostUUID("");
  a.setHostUUID("");
  EXPECT_FALSE(a.isSameServer(b));  // no address in common
  b.setMetadataIP(1, "::ffff:10.2.0.5");
  EXPECT_TRUE(a.isSameServer(b));
  b.setDatabase("OTHER");
  EXPECT_FALSE(a.isSameServer(b));
}

TEST(KestrixDaemonInfo, SameServerAsIdentity) {
  KestrixDaemonInfo info = fullRecord();
  info.setStorageId("");
  EXPECT_TRUE(info.isSameServer(KestrixServerId("10.1.0.5:7549")));
  EXPECT_TRUE(info.isSameServer(KestrixServerId("10.3.0.5")));  // data address, database GRYNN
  EXPECT_FALSE(info.isSameServer(KestrixServerId("10.1.0.5:7000")));
  EXPECT_FALSE(info.isSameServer(KestrixServerId("10.1.0.5:ARCHIVE")));
  EXPECT_FALSE(info.isSameServer(KestrixServerId("10.7.0.5:7549")));
  KestrixServerId byStorage;
  byStorage.setStorageId("store-7");
  EXPECT_FALSE(info.isSameServer(byStorage));
  info.setStorageId("store-7");
  EXPECT_TRUE(info.isSameServer(byStorage));
}

TEST(KestrixDaemonInfo, LoopbackIdentityMatchesLocalServer) {
  KestrixDaemonInfo info;
  info.setDatabase("GRYNN");
  info.setNodePort(7549);
  info.setMetadataIP(0, "127.0.0.1");
  EXPECT_TRUE(info.isLocal());
  EXPECT_TRUE(info.isSameServer(KestrixServerId("localhost:7549")));
  EXPECT_TRUE(info.isSameHost("::ffff:127.0.0.1"));
  // A name that maps only to loopback, as Linux maps a host's own name (not
  // the literal "localhost", which the loopback table already knows).
  EXPECT_TRUE(info.isSameServer(KestrixServerId("LOCALHOST:7549")));
  EXPECT_TRUE(info.isSameHost("LOCALHOST"));
  info.setMetadataIP(0, "192.0.2.10");
  EXPECT_FALSE(info.isLocal());
  EXPECT_FALSE(info.isSameServer(KestrixServerId("LOCALHOST:7549")));
  EXPECT_FALSE(info.isSameHost("LOCALHOST"));
}

TEST(KestrixDaemonInfo, ServerId) {
  const KestrixDaemonInfo info = fullRecord();
  const KestrixServerId id = info.getServerId();
  EXPECT_STREQ(id.getIPAddr(), "10.1.0.5");
  EXPECT_STREQ(id.getDB(), "GRYNN");
  EXPECT_EQ(id.getPort(), 7549);
  EXPECT_STREQ(id.getStorageId(), "store-7");
}

}  // namespace
