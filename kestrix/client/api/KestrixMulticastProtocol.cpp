#include "kestrix/client/api/KestrixMulticastProtocol.h"

#include <cstdio>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"

namespace {

constexpr int PROTOCOL_VERSION = 1;
constexpr int DEFAULT_NODE_PORT = 7549;

std::string nodeName(int index) {
  char name[256];
  std::snprintf(name, sizeof name, "%s%d", "Node", index);
  return name;
}

}  // namespace

std::string KestrixMulticastProtocol::create(RequestType type, const Kestrix::rcAttrStream& data) {
  Kestrix::rcAttrStream stream;
  stream.addIntValue("Version", PROTOCOL_VERSION);
  stream.addIntValue("Type", type);
  stream.addStringValue("Data", data.getStreamStr());
  return stream.getStreamStr();
}

bool KestrixMulticastProtocol::parseRequest(const char* text, RequestType& type,
                                            Kestrix::rcAttrStream& data) {
  const Kestrix::rcAttrStream stream(text ? text : "");
  int version = 0;
  std::string raw;
  if (!stream.getStringValue("Version", raw)) {
    CO_POST_ERROR("Request is lacking a version tag: %s.", stream.getStream());
    return false;
  }
  stream.getIntValue("Version", version);
  if (version == 0) {
    CO_POST_ERROR("Request's version is incompatible: %d", version);
    return false;
  }
  int code = 0;
  if (!stream.getStringValue("Type", raw)) {
    CO_POST_ERROR("Request is lacking a type tag: %s.", stream.getStream());
    return false;
  }
  stream.getIntValue("Type", code);
  if (code < START_OF_SERVICES || code > END_OF_SERVICES) {
    CO_POST_ERROR("Unknown request type: %d.", code);
    return false;
  }
  type = static_cast<RequestType>(code);
  if (!stream.getStringValue("Data", raw)) {
    CO_POST_ERROR("Request is lacking data: %s.", stream.getStream());
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
  // A hostile "Count" must cost nothing: the walk ends once every entry the
  // text holds was found or as many nodes were missed, and the rest are
  // reported in one message.
  const int held = static_cast<int>(Kestrix::rcAttrStream::ConstIterator(stream).getSize()) - 1;
  int found = 0;
  int missed = 0;
  int i = 0;
  std::string node;
  for (; i < count && found < held && missed <= held; ++i) {
    if (!stream.getStringValue(nodeName(i).c_str(), node)) {
      CO_POST_ERROR("Stream is missing node %d of %d.", i, count);
      ++missed;
      continue;
    }
    ++found;
    KestrixDaemonInfo info{Kestrix::rcAttrStream(node)};
    if (database && *database && std::strcmp(info.getDatabase(), database) != 0) continue;
    if (info.getNodePort() == 0) info.setNodePort(DEFAULT_NODE_PORT);
    servers.push_back(info);
  }
  if (i < count) CO_POST_ERROR("Stream is missing node %d of %d.", i, count);
}

void KestrixMulticastProtocol::encode(const std::list<KestrixDaemonInfo>& servers,
                                      std::string& text) {
  Kestrix::rcAttrStream stream;
  stream.addIntValue("Count", static_cast<int>(servers.size()));
  int index = 0;
  for (const KestrixDaemonInfo& info : servers)
    stream.addStringValue(nodeName(index++).c_str(), info.toAttrStream().getStreamStr());
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
