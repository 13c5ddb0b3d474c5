#include "kestrix/server/KestrixServer.h"

#include <strings.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "kestrix/client/api/KestrixLocalInterfaces.h"
#include "kestrix/client/api/KestrixOS.h"
#include "common/base/osal/CoMemory.h"

namespace Kestrix {
namespace {

// A text parameter that knows whether the request gave it at all, so that a
// request with too few or too many parameters can be told from one whose
// last parameter is empty.
class TrackedText : public rcParamString {
 public:
  class TrackedType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new TrackedText; }
    const char* name() const override { return "const char *"; }
  };
  static const rcParam::Type& getType() {
    static const TrackedType type;
    return type;
  }
  void setStringValue(const std::string& text) override {
    given = true;
    rcParamString::setStringValue(text);
  }
  void setStringValue(const char* text) override {
    given = true;
    rcParamString::setStringValue(text);
  }
  void setStringValue(std::string&& text) override {
    given = true;
    rcParamString::setStringValue(std::move(text));
  }
  bool given = false;
};

bool given(const rcParam& param) { return static_cast<const TrackedText&>(param).given; }

const rcParam::Info kWholeText[] = {{&rcParamString::getType(), "params"}, {nullptr, nullptr}};
// Source host, source type, destination host, destination type, paths, and
// one more that must stay empty.
const rcParam::Info kTranslateParams[] = {
    {&TrackedText::getType(), "srcHost"}, {&TrackedText::getType(), "srcType"},
    {&TrackedText::getType(), "dstHost"}, {&TrackedText::getType(), "dstType"},
    {&TrackedText::getType(), "paths"},   {&TrackedText::getType(), "extra"},
    {nullptr, nullptr}};

bool fail(const rcMethod& method, const std::string& text) {
  method.setLastError(text.c_str());
  return false;
}

// An OS type number of the table, written as plain decimal digits.
bool parseOsType(const std::string& text, int& type) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  type = std::atoi(text.c_str());
  return type >= KestrixOS::OS_TYPE_UNKNOWN && type <= KestrixOS::OS_TYPE_MACOSX;
}

bool isLoopback(const std::string& address) {
  const char* bare = CoIoTcpDescriptor::skipIPv4InIPv6Prefix(address.c_str());
  return std::strncmp(bare, "127.", 4) == 0 || std::strcmp(bare, "::1") == 0;
}

std::string systemHostName() {
  std::string name;
  CoNetworkLocal::getHostName(name);
  return name;
}

}  // namespace

KestrixServer::KestrixServer(int port, const KestrixServerConfig& config) : rcServerContext(port) {
  setConfig(config);
  if (isValid()) registerMethods();
}

void KestrixServer::setConfig(const KestrixServerConfig& config) {
  config_ = config;
  hostName_ = config_.hostName.empty() ? systemHostName() : config_.hostName;
  setLimits(config_.limits);
}

KestrixServer& KestrixServer::self(const rcMethod& method) {
  return static_cast<KestrixServer&>(method.getServerContext());
}

void KestrixServer::registerMethods() {
  const rcParam::Type& text = rcParamString::getType();
  const rcParam::Info* none = rcMethod::getDudParamList();
  registerMethod(rcMethod(*this, "Ping", ping, rcParamVoid::getType(), none));
  registerMethod(rcMethod(*this, "QueryVersion", queryVersion, text, none));
  registerMethod(rcMethod(*this, "GetDaemonInfo", getDaemonInfo, text, kWholeText));
  registerMethod(rcMethod(*this, "GetDaemonList", getDaemonList, text, kWholeText));
  registerMethod(rcMethod(*this, "GetTranslationGroups", getTranslationGroups, text, none));
  registerMethod(rcMethod(*this, "GetHostTranslations", getHostTranslations, text, none));
  registerMethod(rcMethod(*this, "GetOsTypeTranslations", getOsTypeTranslations, text, none));
  registerMethod(rcMethod(*this, "TranslatePaths", translatePaths, text, kTranslateParams));
  registerMethod(rcMethod(*this, "Shutdown", shutdown, rcParamVoid::getType(), none));
  registerMethod(rcMethod(*this, "RegisterEvents", registerEvents, rcParamVoid::getType(),
                          kWholeText));
  registerMethod(rcMethod(*this, "UnregisterEvents", unregisterEvents, rcParamVoid::getType(),
                          kWholeText));
}

KestrixDaemonInfo KestrixServer::describe() const {
  KestrixDaemonInfo info;
  // Reachable addresses first, loopback last; link-local IPv6 needs a scope
  // that a description cannot carry.
  unsigned n = 0;
  std::vector<std::string> loopback;
  for (const std::string& address : KestrixLocalInterfaces::addresses()) {
    if (address.rfind("fe80:", 0) == 0) continue;
    if (isLoopback(address)) {
      loopback.push_back(address);
      continue;
    }
    info.setMetadataIP(n++, address.c_str());
  }
  for (const std::string& address : loopback) info.setMetadataIP(n++, address.c_str());
  const std::string displayName = config_.displayName.empty() ? hostName_ : config_.displayName;
  info.setHostName(hostName_.c_str());
  info.setDisplayName(displayName.c_str());
  info.setOsType(KestrixOS::getOSType());
  info.setDatabase(config_.database.c_str());
  info.setNodePort(getPort());
  info.setVersionMajorNumber(VERSION_MAJOR);
  info.setVersionMinorNumber(VERSION_MINOR);
  info.setProduct("kestrixd");
  info.setVendor("Kestrix");
  info.setProductVersionMajorNumber(1);
  info.setProductVersionString("1.0.0");
  info.setStorageId(config_.storageId.c_str());
  return info;
}

std::string KestrixServer::canonicalHost(const std::string& host) const {
  std::string name = host;
  // "host:port" (one colon only: IPv6 literals keep theirs).
  const size_t colon = name.find(':');
  if (colon != std::string::npos && name.find(':', colon + 1) == std::string::npos)
    name.resize(colon);
  const std::string displayName = config_.displayName.empty() ? hostName_ : config_.displayName;
  if (strcasecmp(name.c_str(), hostName_.c_str()) == 0 || name == displayName ||
      strcasecmp(name.c_str(), "localhost") == 0 || isLoopback(name) ||
      strcasecmp(name.c_str(), systemHostName().c_str()) == 0)
    return hostName_;
  return name;
}

bool KestrixServer::ping(void*, const rcMethod&, const rcParam::Array&, rcParam&) { return true; }

bool KestrixServer::queryVersion(void*, const rcMethod&, const rcParam::Array&, rcParam& result) {
  result.setStringValue(std::to_string(VERSION_MAJOR) + " " + std::to_string(VERSION_MINOR));
  return true;
}

bool KestrixServer::getDaemonInfo(void*, const rcMethod& method, const rcParam::Array&,
                                  rcParam& result) {
  result.setStringValue(self(method).describe().toAttrStream().getStreamStr());
  return true;
}

bool KestrixServer::getDaemonList(void*, const rcMethod& method, const rcParam::Array&,
                                  rcParam& result) {
  rcAttrStream list;
  list.addIntValue("Count", 1);
  list.addStringValue("Node0", self(method).describe().toAttrStream().getStreamStr());
  result.setStringValue(list.getStreamStr());
  return true;
}

bool KestrixServer::getTranslationGroups(void*, const rcMethod& method, const rcParam::Array&,
                                         rcParam& result) {
  const auto& groups = self(method).config_.rules.groups;
  rcAttrStream list;
  list.addIntValue("numGroups", static_cast<int>(groups.size()));
  for (size_t i = 0; i < groups.size(); ++i) {
    std::string text = groups[i].name + "," + std::to_string(groups[i].osType);
    for (const std::string& host : groups[i].hosts) text += "," + host;
    list.addStringValue(std::to_string(i).c_str(), text);
  }
  result.setStringValue(list.getStreamStr());
  return true;
}

namespace {

// A rule list reply: countKey, then entries "0", "1", ... each an attribute
// stream of the four texts that fields gives for one rule.
template <typename Rule, typename Fields>
std::string ruleList(const std::vector<Rule>& rules, const char* countKey,
                     const char* const (&keys)[4], Fields fields) {
  rcAttrStream list;
  list.addIntValue(countKey, static_cast<int>(rules.size()));
  for (size_t i = 0; i < rules.size(); ++i) {
    const std::array<std::string, 4> values = fields(rules[i]);
    rcAttrStream entry;
    for (size_t k = 0; k < 4; ++k) entry.addStringValue(keys[k], values[k]);
    list.addStringValue(std::to_string(i).c_str(), entry.getStreamStr());
  }
  return list.getStreamStr();
}

std::string osName(int type) { return KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(type)); }

}  // namespace

bool KestrixServer::getHostTranslations(void*, const rcMethod& method, const rcParam::Array&,
                                        rcParam& result) {
  static const char* const kKeys[4] = {"srcHost", "srcPath", "dstHost", "dstPath"};
  result.setStringValue(ruleList(self(method).config_.rules.hostTranslations,
                                 "numHostTranslations", kKeys,
                                 [](const KestrixRuleHostTranslation& r) {
                                   return std::array<std::string, 4>{r.srcHost, r.srcPath,
                                                                     r.dstHost, r.dstPath};
                                 }));
  return true;
}

bool KestrixServer::getOsTypeTranslations(void*, const rcMethod& method, const rcParam::Array&,
                                          rcParam& result) {
  static const char* const kKeys[4] = {"srcType", "srcPath", "dstType", "dstPath"};
  result.setStringValue(ruleList(self(method).config_.rules.osTypeTranslations,
                                 "numOsTypeTranslations", kKeys,
                                 [](const KestrixRuleOsTypeTranslation& r) {
                                   return std::array<std::string, 4>{osName(r.srcType), r.srcPath,
                                                                     osName(r.dstType), r.dstPath};
                                 }));
  return true;
}

bool KestrixServer::translatePaths(void*, const rcMethod& method, const rcParam::Array& args,
                                   rcParam& result) {
  KestrixServer& server = self(method);
  if (!given(args[4]) || given(args[5]))
    return fail(method, "TranslatePaths takes 5 parameters: \"srcHost\" srcType \"dstHost\" "
                        "dstType \"path\",\"path\",...");
  const std::string srcText = args[0].stringValue();
  const std::string dstText = args[2].stringValue();
  if (srcText.empty()) return fail(method, "Invalid source host name given");
  if (dstText.empty()) return fail(method, "Invalid destination host name given");
  int srcType = 0;
  int dstType = 0;
  if (!parseOsType(args[1].stringValue(), srcType))
    return fail(method, "Unknown source OS type '" + args[1].stringValue() + "'");
  if (!parseOsType(args[3].stringValue(), dstType))
    return fail(method, "Unknown destination OS type '" + args[3].stringValue() + "'");

  const KestrixTranslationRules::Request request(server.config_.rules,
                                                server.canonicalHost(srcText), srcType,
                                                server.canonicalHost(dstText), dstType);
  const std::string& paths = static_cast<const TrackedText&>(args[4]).text();
  if (request.keepsPaths()) {  // the reply is the request's own list
    result.setStringValue(paths);
    return true;
  }
  std::string reply;
  reply.reserve(paths.size() + paths.size() / 4);
  CoMemory::adviseLarge(reply.data(), reply.capacity());
  std::string error;
  const std::string_view all(paths);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(',', start);
    if (end == std::string_view::npos) end = all.size();
    if (start > 0) reply += ',';
    if (!request.translate(all.substr(start, end - start), reply, error)) return fail(method, error);
    start = end + 1;
  }
  static_cast<rcParamString&>(result).setStringValue(std::move(reply));
  return true;
}

bool KestrixServer::shutdown(void*, const rcMethod& method, const rcParam::Array&, rcParam&) {
  KestrixServer& server = self(method);
  const rcConnectionInfo* client = server.getCurrentConnectionInfo();
  if (client == nullptr || !isLoopback(client->getIpAddr()))
    return fail(method, "Shutdown is accepted from this host only");
  CO_POST_NOTICE("Shutdown requested by %s", client->getConnectionStr().c_str());
  server.shutdownRequested_ = true;
  // The reply is written before the loop sees the cancel.
  server.cancel();
  return true;
}

namespace {

bool subscriptionKey(const rcMethod& method, const rcParam::Array& args, KestrixServer& server,
                     std::tuple<std::string, int, int, std::string>& key) {
  const rcAttrStream stream(args[0].stringValue());
  int port = 0;
  int connection = 0;
  std::string subject;
  for (const char* name : {"Port", "Connection", "Subject"}) {
    std::string value;
    if (!stream.getStringValue(name, value)) {
      method.setLastError((std::string("Missing '") + name + "' parameter").c_str());
      return false;
    }
  }
  stream.getIntValue("Port", port);
  stream.getIntValue("Connection", connection);
  stream.getStringValue("Subject", subject);
  const rcConnectionInfo* client = server.getCurrentConnectionInfo();
  key = {client != nullptr ? client->getIpAddr() : std::string(), port, connection, subject};
  return true;
}

}  // namespace

bool KestrixServer::registerEvents(void*, const rcMethod& method, const rcParam::Array& args,
                                   rcParam&) {
  KestrixServer& server = self(method);
  std::tuple<std::string, int, int, std::string> key;
  if (!subscriptionKey(method, args, server, key)) return false;
  server.subscriptions_.insert(key);
  return true;
}

bool KestrixServer::unregisterEvents(void*, const rcMethod& method, const rcParam::Array& args,
                                     rcParam&) {
  KestrixServer& server = self(method);
  std::tuple<std::string, int, int, std::string> key;
  if (!subscriptionKey(method, args, server, key)) return false;
  const bool everySubject = std::get<3>(key).empty();
  for (auto it = server.subscriptions_.begin(); it != server.subscriptions_.end();) {
    const bool sameConnection = std::get<0>(*it) == std::get<0>(key) &&
                                std::get<1>(*it) == std::get<1>(key) &&
                                std::get<2>(*it) == std::get<2>(key);
    if (sameConnection && (everySubject || std::get<3>(*it) == std::get<3>(key)))
      it = server.subscriptions_.erase(it);
    else
      ++it;
  }
  return true;
}

}  // namespace Kestrix
