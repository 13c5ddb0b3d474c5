#include "kestrix/client/api/KestrixMulticastProtocol.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>
#include <algorithm>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"

namespace {

constexpr int PROTOCOL_VERSION = 1;
constexpr int DEFAULT_NODE_PORT = 7549;

std::string nodeName(int index) {
  char name[256];
  std::snprintf(name, sizeof name, "%s%d", "Node", index);
  return name;
}

// The index of a name written as nodeName() writes it; -1 for any other.
int nodeIndex(std::string_view name) {
  constexpr std::string_view prefix = "Node";
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return -1;
  const std::string_view digits = name.substr(prefix.size());
  if (digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return -1;
  long long index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    index = index * 10 + (c - '0');
  }
  return index <= INT_MAX ? static_cast<int>(index) : -1;
}

// Every datagram from anyone is parsed here, without its sender: the
// parser's messages share one bound, and the caller's names the sender.
bool mayPost() {
  static Kestrix::CoLogLimiter limiter("Discovery requests", {10, 10, 1, 1000});
  return limiter.admit(Kestrix::CoMsg::LEVEL_ERROR, "");
}

std::string shown(const Kestrix::rcAttrStream& stream) {
  return Kestrix::CoLogText::escape(stream.getStreamStr());
}

std::string signedText(int type, int64_t time, const std::string& data) {
  return std::to_string(type) + "\n" + std::to_string(time) + "\n" + data;
}

}  // namespace

std::string KestrixMulticastProtocol::create(RequestType type, const Kestrix::rcAttrStream& data,
                                             const std::string& secret, int64_t nowSeconds) {
  Kestrix::rcAttrStream stream;
  stream.addIntValue("Version", PROTOCOL_VERSION);
  stream.addIntValue("Type", type);
  const std::string& text = data.getStreamStr();
  stream.addStringValue("Data", text);
  if (!secret.empty()) {
    stream.addStringValue("Time", std::to_string(nowSeconds));
    stream.addStringValue("Signature", Kestrix::rcLoginProof::hmacHex(
                                           secret, signedText(type, nowSeconds, text)));
  }
  return stream.getStreamStr();
}

bool KestrixMulticastProtocol::isSigned(const char* text, const std::string& secret,
                                        int64_t nowSeconds) {
  const Kestrix::rcAttrStream stream(text ? text : "");
  std::string time, signature, data;
  int type = 0;
  if (secret.empty() || !stream.getStringValue("Time", time) ||
      !stream.getStringValue("Signature", signature) || !stream.getStringValue("Data", data) ||
      !stream.getIntValue("Type", type) || time.empty() || time.size() > 18 ||
      time.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int64_t when = std::stoll(time);
  if (when > nowSeconds + MAX_SKEW_SECONDS || when < nowSeconds - MAX_SKEW_SECONDS) return false;
  return Kestrix::rcLoginProof::sameProof(
      signature, Kestrix::rcLoginProof::hmacHex(secret, signedText(type, when, data)));
}

bool KestrixMulticastProtocol::parseRequest(const char* text, RequestType& type,
                                            Kestrix::rcAttrStream& data) {
  const Kestrix::rcAttrStream stream(text ? text : "");
  int version = 0;
  std::string raw;
  if (!stream.getStringValue("Version", raw)) {
    if (mayPost()) CO_POST_ERROR("Request is lacking a version tag: %s.", shown(stream).c_str());
    return false;
  }
  stream.getIntValue("Version", version);
  if (version == 0) {
    if (mayPost()) CO_POST_ERROR("Request's version is incompatible: %d", version);
    return false;
  }
  int code = 0;
  if (!stream.getStringValue("Type", raw)) {
    if (mayPost()) CO_POST_ERROR("Request is lacking a type tag: %s.", shown(stream).c_str());
    return false;
  }
  stream.getIntValue("Type", code);
  if (code < START_OF_SERVICES || code > END_OF_SERVICES) {
    if (mayPost()) CO_POST_ERROR("Unknown request type: %d.", code);
    return false;
  }
  type = static_cast<RequestType>(code);
  if (!stream.getStringValue("Data", raw)) {
    if (mayPost()) CO_POST_ERROR("Request is lacking data: %s.", shown(stream).c_str());
    return false;
  }
  data.setStream(raw);
  return true;
}

void KestrixMulticastProtocol::decode(const std::string& text,
                                      std::list<KestrixDaemonInfo>& servers, const char* database) {
  const Kestrix::rcAttrStream stream(text);
  int count = 0;
  if (!stream.getIntValue("Count", count) || count == 0) {
    CO_POST_DEBUG("Stream does not have any nodes.");
    return;
  }
  if (count < 0) return;
  // A hostile "Count" must cost nothing. One walk finds the nodes the text
  // holds (a lookup per missing node would walk it all each time); the
  // search ends once each was found or as many nodes were missed, and the
  // rest are reported in one message.
  std::unordered_map<int, std::pair<unsigned, unsigned>> nodes;
  Kestrix::rcAttrStream::ConstIterator walk(stream);
  unsigned nameStart, nameLength, valueStart, valueLength;
  while (walk.next(nameStart, nameLength, valueStart, valueLength)) {
    const int index = nodeIndex(std::string_view(walk.getData()).substr(nameStart, nameLength));
    if (index >= 0 && index < count) nodes.try_emplace(index, valueStart, valueLength);
  }
  const size_t held = nodes.size();
  size_t found = 0;
  size_t missed = 0;
  int i = 0;
  for (; i < count && found < held && missed <= held; ++i) {
    const auto it = nodes.find(i);
    if (it == nodes.end()) {
      CO_POST_ERROR("Stream is missing node %d of %d.", i, count);
      ++missed;
      continue;
    }
    ++found;
    KestrixDaemonInfo info{
        Kestrix::rcAttrStream(walk.getData().substr(it->second.first, it->second.second))};
    if (database && *database && std::strcmp(info.getDatabase(), database) != 0) continue;
    if (info.getNodePort() == 0) info.setNodePort(DEFAULT_NODE_PORT);
    servers.push_back(info);
  }
  if (i < count) CO_POST_ERROR("Stream is missing node %d of %d.", i, count);
}

void KestrixMulticastProtocol::encode(const std::list<KestrixDaemonInfo>& servers,
                                      std::string& text) {
  std::vector<std::string> texts;
  std::vector<const std::string*> nodes;
  texts.reserve(servers.size());
  for (const KestrixDaemonInfo& info : servers) {
    texts.push_back(info.toAttrStream().getStreamStr());
    nodes.push_back(&texts.back());
  }
  encodeTexts(nodes, text);
}

void KestrixMulticastProtocol::encodeTexts(const std::vector<const std::string*>& nodes,
                                           std::string& text) {
  Kestrix::rcAttrStream stream;
  stream.addIntValue("Count", static_cast<int>(nodes.size()));
  int index = 0;
  for (const std::string* node : nodes) stream.addStringValue(nodeName(index++).c_str(), *node);
  text = stream.getStreamStr();
}

const char* KestrixMulticastProtocol::getRequestTypeStr(RequestType type) {
  switch (type) {
    case INVALID:
      return "INVALID";
    case START_OF_SERVICES:
      return "START_OF_SERVICES";
    case DISCOVER_SERVERS:
      return "DISCOVER_SERVERS";
    case DISCOVER_SERVERS_REPLY:
      return "DISCOVER_SERVERS_REPLY";
    case REMOVE_SERVER:
      return "REMOVE_SERVER";
    case FIND_SERVERS:
      return "FIND_SERVERS";
    case END_OF_SERVICES:
      return "END_OF_SERVICES";
  }
  return "UNKNOWN";
}

void KestrixMulticastProtocol::takeFrom(KestrixDaemonInfo& info, const char* fromIp) {
  const char* sender =
      fromIp != nullptr ? Kestrix::CoIoTcpDescriptor::skipIPv4InIPv6Prefix(fromIp) : "";
  for (bool metadata : {true, false}) {
    std::vector<std::string> kept;
    if (metadata && *sender != '\0') kept.emplace_back(sender);
    unsigned count = 0;
    for (; count < KestrixDaemonInfo::MAX_IPS; ++count) {
      const char* ip = metadata ? info.getMetadataIP(count) : info.getDataIP(count);
      if (*ip == '\0') break;
      if (kept.size() < MAX_ADDRESSES && (kept.empty() || kept.front() != ip)) kept.emplace_back(ip);
    }
    count = std::max<unsigned>(count, static_cast<unsigned>(kept.size()));
    for (unsigned i = 0; i < count; ++i) {
      const char* ip = i < kept.size() ? kept[i].c_str() : "";
      metadata ? info.setMetadataIP(i, ip) : info.setDataIP(i, ip);
    }
  }
}

std::string KestrixMulticastProtocol::serverKey(const KestrixDaemonInfo& info) {
  if (*info.getStorageId() != '\0') return std::string("S") + info.getStorageId();
  return std::string("D") + info.getDatabase() + '\n' + std::to_string(info.getNodePort()) + '\n' +
         info.getMetadataIP(0);
}

bool KestrixMulticastProtocol::hasAddress(const KestrixDaemonInfo& info, const char* ip) {
  if (ip == nullptr || *ip == '\0') return false;
  const char* bare = Kestrix::CoIoTcpDescriptor::skipIPv4InIPv6Prefix(ip);
  for (unsigned i = 0; i < KestrixDaemonInfo::MAX_IPS && *info.getMetadataIP(i) != '\0'; ++i)
    if (std::strcmp(info.getMetadataIP(i), bare) == 0) return true;
  return false;
}
