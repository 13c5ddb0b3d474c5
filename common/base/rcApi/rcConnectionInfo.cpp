#include "common/base/rcApi/rcConnectionInfo.h"

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoTime.h"
#include "common/base/osal/StringUtil.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {
namespace {

std::atomic<int> gNextSerial{0};

const std::array<uint32_t, 256>& crcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// The chain's two steps: a text (empty resets) and a number (never resets).
void feedText(uint32_t& c, const std::string& text) {
  c = text.empty() ? 0 : rcConnectionInfo::crc32(c, text.data(), text.size());
}

void feedNumber(uint32_t& c, uint32_t number) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
      static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
  c = rcConnectionInfo::crc32(c, bytes, sizeof bytes);
}

}  // namespace

uint32_t rcConnectionInfo::crc32(uint32_t running, const void* data, size_t n) {
  const std::array<uint32_t, 256>& table = crcTable();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t reg = running ^ 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) reg = table[(reg ^ p[i]) & 0xFFu] ^ (reg >> 8);
  return reg ^ 0xFFFFFFFFu;
}

rcConnectionInfo::rcConnectionInfo(uint64_t version)
    : serial_(gNextSerial.fetch_add(1)), version_(version) {}

rcConnectionInfo::rcConnectionInfo(const char* attributes, const CoIoDescriptor* socket)
    : valid_(true),
      userName_(),
      groupName_(),
      processName_(),
      hostName_(),
      hostUUID_(),
      ipAddr_(),
      attrs_(attributes) {
  hasGroupName_ = attrs_.getStringValue("StrGroupName", groupName_);
  int umask = 0;
  hasUmask_ = attrs_.getIntValue("IntUmask", umask);
  umask_ = static_cast<uint32_t>(umask);
  hasHostUUID_ = attrs_.getStringValue("StrHostUUID", hostUUID_);
  bool complete = attrs_.getStringValue("StrUserName", userName_);
  attrs_.getStringValue("StrPassword", password_);
  complete &= attrs_.getStringValue("StrProcessName", processName_);
  complete &= attrs_.getIntValue("IntProcessId", processId_);
  complete &= attrs_.getStringValue("StrHostName", hostName_);
  complete &= attrs_.getStringValue("StrIpAddr", ipAddr_);
  complete &= attrs_.getIntValue("IntSerial", serial_);
  complete &= attrs_.getIntValue("IntTimestamp", timestamp_);
  int crc = 0;
  complete &= attrs_.getIntValue("IntCRC", crc);
  crc_ = static_cast<uint32_t>(crc);
  complete &= attrs_.getUInt64Value("ULongVersion", version_);
  if (!complete)
    CO_POST_DEBUG(
        "Syntax error while parsing connection information, output values won't be accurate");
  validate();
  // After the check: the checksum covers the address the client reported.
  if (socket != nullptr) socket->getPeerIP(ipAddr_);
}

void rcConnectionInfo::validate() {
  valid_ = generateCRC() == crc_;
  if (valid_) return;
  // Any peer can send bad records in a loop.
  static CoLogLimiter failed("Checksums failed", CoLogLimiter::Limits{10, 10, 1, 1000});
  if (!failed.admit(CoMsg::LEVEL_ERROR, "")) return;
  CO_POST_ERROR("Unable to establish connection [%d]: checksum failed.", serial_);
  const int now = static_cast<int>(CoTime::getTime() / 1000000u);
  CO_POST_DEBUG("Connection [%d] Timestamp: %d Age: %d Checksum 0x%X", serial_, timestamp_,
                static_cast<int>(static_cast<unsigned>(now) - static_cast<unsigned>(timestamp_)),
                crc_);
}

uint32_t rcConnectionInfo::generateCRC() const {
  uint32_t c = 0;
  feedText(c, userName_);
  if (hasGroupName_) feedText(c, groupName_);
  if (hasUmask_) feedNumber(c, umask_);
  if (hasHostUUID_) feedText(c, hostUUID_);
  feedText(c, hostName_);
  feedText(c, password_);
  feedText(c, ipAddr_);
  feedNumber(c, static_cast<uint32_t>(timestamp_));
  feedNumber(c, static_cast<uint32_t>(serial_));
  return c;
}

void rcConnectionInfo::setClientInfo(const rcConnectionInfo& from, const CoIoDescriptor* socket) {
  const int serial = serial_;
  const int timestamp = timestamp_;
  *this = from;
  serial_ = serial;
  timestamp_ = timestamp;
  if (socket != nullptr) socket->getPeerIP(ipAddr_);
  crc_ = generateCRC();
}

void rcConnectionInfo::setSerial(unsigned serial) {
  serial_ = static_cast<int>(serial);
  crc_ = generateCRC();
}

void rcConnectionInfo::setTimestamp(unsigned timestamp) {
  timestamp_ = static_cast<int>(timestamp);
  crc_ = generateCRC();
}

void rcConnectionInfo::setPassword(const std::string& password) {
  password_ = password;
  crc_ = generateCRC();
}

void rcConnectionInfo::writeFields(rcAttrStream& out, bool withSecrets) const {
  out.addStringValue("StrUserName", userName_);
  if (hasGroupName_) out.addStringValue("StrGroupName", groupName_);
  if (hasUmask_) out.addIntValue("IntUmask", static_cast<int>(umask_));
  if (hasHostUUID_) out.addStringValue("StrHostUUID", hostUUID_);
  if (withSecrets) out.addStringValue("StrPassword", password_);
  out.addStringValue("StrProcessName", processName_);
  out.addIntValue("IntProcessId", processId_);
  out.addStringValue("StrHostName", hostName_);
  out.addStringValue("StrIpAddr", ipAddr_);
  out.addIntValue("IntSerial", serial_);
  out.addIntValue("IntTimestamp", timestamp_);
  if (withSecrets) out.addIntValue("IntCRC", static_cast<int>(crc_));
  out.addUInt64Value("ULongVersion", version_);
}

std::string rcConnectionInfo::proofText() const {
  rcAttrStream text;
  writeFields(text, false);
  return text.getStreamStr();
}

const std::string& rcConnectionInfo::toAttrStream() {
  attrs_.setStream(std::string());
  writeFields(attrs_, true);
  return attrs_.getStreamStr();
}

std::string rcConnectionInfo::getConnectionStr() const {
  char version[64] = "";
  if (version_ != 0)
    std::snprintf(
        version, sizeof version, "[%u.%u.%u.%u]", static_cast<unsigned>((version_ >> 48) & 0xFFFF),
        static_cast<unsigned>((version_ >> 32) & 0xFFFF),
        static_cast<unsigned>((version_ >> 16) & 0xFFFF), static_cast<unsigned>(version_ & 0xFFFF));
  // Every name is the client's own word.
  using CoLogText::escape;
  return StringUtil::sprintf("Connection [%d] [%s/%s/%o] [%s/%s] [%s/%d] %s", serial_,
                             escape(userName_).c_str(), escape(groupName_).c_str(), umask_,
                             escape(hostName_).c_str(), escape(ipAddr_).c_str(),
                             escape(processName_).c_str(), processId_, version);
}

void rcConnectionInfo::logConnection() const {
  // A client that logs in again and again gets a line a second.
  static CoLogLimiter logins("Connections", {1, 100, 1024, 1000});
  if (logins.admit(CoMsg::LEVEL_NOTICE, ipAddr_)) CO_POST_NOTICE("%s", getConnectionStr().c_str());
}

}  // namespace Kestrix
