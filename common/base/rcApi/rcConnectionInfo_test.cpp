#include "common/base/rcApi/rcConnectionInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::StartsWith;
using Fields = std::vector<std::pair<const char*, std::string>>;

// A complete client record; extra entries override or add keys.
std::string recordText(const Fields& extra = {}) {
  rcAttrStream s;
  const Fields base = {{"StrUserName", "bob"},  {"StrPassword", ""},
                       {"StrProcessName", "p"}, {"IntProcessId", "77"},
                       {"StrHostName", "h"},    {"StrIpAddr", "1.2.3.4"},
                       {"IntSerial", "5"},      {"IntTimestamp", "1000"},
                       {"IntCRC", "0"},         {"ULongVersion", "0x1000200030004"}};
  for (const auto& [k, v] : base) s.addStringValue(k, v);
  for (const auto& [k, v] : extra) s.addStringValue(k, v);
  return s.getStreamStr();
}

// The same record with the checksum its fields give.
std::string signedText(const Fields& extra = {}) {
  CoTestMsgCapture quiet;
  const rcConnectionInfo unsigned_(recordText(extra).c_str(), nullptr);
  Fields withCrc = extra;
  withCrc.push_back({"IntCRC", std::to_string(static_cast<int>(unsigned_.generateCRC()))});
  return recordText(withCrc);
}

// Answers fixed addresses without any handle.
class FixedAddressDescriptor : public CoIoDescriptor {
 public:
  void getSocketIP(std::string& ip) const override { ip = "127.0.0.2"; }
  void getPeerIP(std::string& ip) const override { ip = "127.0.0.3"; }
};

uint32_t crcOf(const std::string& bytes) {
  return rcConnectionInfo::crc32(0, bytes.data(), bytes.size());
}

std::string le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

TEST(rcConnectionInfoCrc, StandardCheckValueAndContinuation) {
  EXPECT_EQ(crcOf("123456789"), 0xCBF43926u);
  const uint32_t part = crcOf("1234");
  EXPECT_EQ(rcConnectionInfo::crc32(part, "56789", 5), 0xCBF43926u);
  EXPECT_EQ(crcOf(""), 0u);
}

// The checksum is one CRC continued over user, group, umask, host UUID,
// host name, password, address, timestamp and serial; an empty host name or
// password starts it over, and nothing else (process, version) counts.
TEST(rcConnectionInfoCrc, ChainOverTheCheckedFields) {
  CoTestMsgCapture quiet;
  auto crcWith = [](const Fields& f) {
    return rcConnectionInfo(recordText(f).c_str(), nullptr).generateCRC();
  };
  EXPECT_EQ(crcWith({{"StrGroupName", "g"},
                     {"IntUmask", "18"},
                     {"StrHostUUID", "id"},
                     {"StrPassword", "pw"},
                     {"IntProcessId", "78"},
                     {"ULongVersion", "0x2"}}),
            crcOf("bobg" + le32(18) + "idhpw1.2.3.4" + le32(1000) + le32(5)));
  EXPECT_EQ(crcWith({{"StrHostName", ""}}), crcOf("1.2.3.4" + le32(1000) + le32(5)));
  EXPECT_EQ(crcWith({{"StrHostName", ""}, {"StrIpAddr", ""}}), crcOf(le32(1000) + le32(5)));
}

TEST(rcConnectionInfoParse, SignedRecordIsValid) {
  CoTestMsgCapture capture;
  const rcConnectionInfo info(signedText({{"StrGroupName", "staff"}, {"IntUmask", "18"}}).c_str(),
                              nullptr);
  EXPECT_TRUE(info.isValid());
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(info.getUmask(), 18u);
  EXPECT_EQ(info.getVersion(), 0x00030004u);
  EXPECT_EQ(info.getConnectionStr(), "Connection [5] [bob/staff/22] [h/1.2.3.4] [p/77] [1.2.3.4]");
}

TEST(rcConnectionInfoParse, WrongChecksumIsInvalidAndReported) {
  CoTestMsgCapture capture;
  EXPECT_FALSE(rcConnectionInfo(recordText({{"IntCRC", "-17"}}).c_str(), nullptr).isValid());
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0].text, "Unable to establish connection [5]: checksum failed.");
  EXPECT_THAT(capture.lines()[1].text, AllOf(StartsWith("Connection [5] Timestamp: 1000 Age: "),
                                             EndsWith(" Checksum 0xFFFFFFEF")));
}

TEST(rcConnectionInfoParse, MissingKeysAreReportedAndDefaultsKept) {
  CoTestMsgCapture capture;
  const rcConnectionInfo info("StrUserName 1 u", nullptr);
  EXPECT_EQ(capture.count("Syntax error while parsing connection information, output values "
                          "won't be accurate"),
            1);
  EXPECT_EQ(info.getUserName(), "u");
  EXPECT_FALSE(info.isValid());
}

TEST(rcConnectionInfoParse, NegativeChecksumRoundTrips) {
  CoTestMsgCapture quiet;
  rcConnectionInfo info(signedText().c_str(), nullptr);
  unsigned serial = 0;
  while ((info.getChecksum() & 0x80000000u) == 0) info.setSerial(++serial);
  const std::string text = info.toAttrStream();
  const std::string crc = std::to_string(static_cast<int>(info.getChecksum()));
  EXPECT_EQ(crc[0], '-');
  EXPECT_NE(text.find("IntCRC " + std::to_string(crc.size()) + " " + crc), std::string::npos);
  const rcConnectionInfo back(text.c_str(), nullptr);
  EXPECT_TRUE(back.isValid());
  EXPECT_EQ(back.getChecksum(), info.getChecksum());
  info.setTimestamp(2000);  // setters keep the record signed
  EXPECT_TRUE(rcConnectionInfo(info.toAttrStream().c_str(), nullptr).isValid());
}

TEST(rcConnectionInfoRecord, DefaultRecordSerialisation) {
  rcConnectionInfo info(0x0001000200030004ull);
  const std::string serial = std::to_string(info.getSerial());
  EXPECT_EQ(info.toAttrStream(),
            "StrUserName 9 undefinedStrPassword 0 StrProcessName 9 undefinedIntProcessId 1 0"
            "StrHostName 9 undefinedStrIpAddr 7 0.0.0.0IntSerial " +
                std::to_string(serial.size()) + " " + serial +
                "IntTimestamp 1 0IntCRC 1 0ULongVersion 15 0x1000200030004");
  EXPECT_FALSE(info.isValid());
  EXPECT_EQ(rcConnectionInfo(0).getConnectionStr().back(), ' ');  // no version suffix
}

TEST(rcConnectionInfoRecord, ClientInfoKeepsSerialAndTimestamp) {
  CoTestMsgCapture quiet;
  const rcConnectionInfo from(signedText({{"StrGroupName", "g"}}).c_str(), nullptr);
  rcConnectionInfo to(0);
  to.setTimestamp(99);
  const int serial = to.getSerial();
  to.setClientInfo(from, nullptr);
  EXPECT_EQ(to.getSerial(), serial);
  EXPECT_EQ(to.getTimestamp(), 99);
  EXPECT_EQ(to.getGroupName(), "g");
  EXPECT_TRUE(to.isValid());
}

TEST(rcConnectionInfoFill, FillsFromThisProcessAndTheSocket) {
  CoTestMsgCapture quiet;
  rcConnectionInfo info(0x0002000100000000ull);
  info.fillInfo(nullptr);
  EXPECT_EQ(info.getProcessId(), static_cast<int>(::getpid()));
  EXPECT_NE(info.getUserName(), "undefined");
  EXPECT_EQ(info.getIpAddr(), "0.0.0.0");
  const rcConnectionInfo back(info.toAttrStream().c_str(), nullptr);
  EXPECT_TRUE(back.isValid());
  // A group the system does not know (Windows knows none) is not sent and
  // reads back empty; everything else travels.
  std::string expected = info.getConnectionStr();
  if (info.getGroupName() == "undefined") expected.replace(expected.find("/undefined/"), 11, "//");
  EXPECT_EQ(back.getConnectionStr(), expected);
  // A client reports its own address; the server takes the peer's, after the check.
  const FixedAddressDescriptor socket;
  rcConnectionInfo client(0);
  client.fillInfo(&socket);
  EXPECT_EQ(client.getIpAddr(), "127.0.0.2");
  const rcConnectionInfo received(client.toAttrStream().c_str(), &socket);
  EXPECT_TRUE(received.isValid());
  EXPECT_EQ(received.getIpAddr(), "127.0.0.3");
}

// Run in a process of its own (see CMakeLists.txt).
TEST(ConnectionSerialFromEnv, FirstRecordOfTheProcessIsZero) {
  EXPECT_EQ(rcConnectionInfo(0).getSerial(), 0);
  EXPECT_EQ(rcConnectionInfo(0).getSerial(), 1);
}

}  // namespace
}  // namespace Kestrix
