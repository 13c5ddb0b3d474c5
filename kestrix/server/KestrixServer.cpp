#include "kestrix/server/KestrixServer.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string_view>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"
#include "kestrix/client/api/KestrixOS.h"
#include "kestrix/server/KestrixRulesNode.h"
#include "kestrix/server/KestrixStorageId.h"

namespace Kestrix {
namespace {

const rcParam::Info kWholeText[] = {{&rcParamString::getType(), "params"}, {nullptr, nullptr}};

// "TranslatePaths" as the client writes it: "srcHost" srcType "dstHost"
// dstType "p1","p2",...,"pn". The four leading parameters split as every
// parameter text does; the paths are quoted but not escaped, so a path may
// end in '\' or hold '"' or ',' and only "," between two quotes parts them.
// list is the text after the fourth parameter: empty, or in outer quotes.
bool splitTranslateRequest(const std::string& text, std::array<std::string, 4>& head,
                           std::string_view& list) {
  size_t field = 0, i = 0;
  bool quoted = false;
  char previous = text.empty() ? '\0' : text[0];
  for (; i < text.size() && field < head.size(); ++i) {
    const char c = text[i];
    char seen = c;
    if (c == '"' && previous != '\\') {
      quoted = !quoted;
      if (!quoted) seen = ' ';  // a closing quote ends a word like a space
    } else if (c == ' ' && !quoted) {
      ++field;
    } else {
      head[field] += c;
    }
    previous = seen;
  }
  list = std::string_view(text).substr(i);
  return field == head.size() &&
         (list.empty() || (list.size() >= 2 && list.front() == '"' && list.back() == '"'));
}

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

std::string systemHostName() {
  std::string name;
  CoNetworkLocal::getHostName(name);
  return name;
}

}  // namespace

KestrixServer::KestrixServer(int port, const KestrixServerConfig& config)
    : rcServerContext(config.access.listen, port, config.access.listenDefault) {
  if (!isValid()) return;
  std::string error;
  setConfig(config, error);
  registerMethods();
  KestrixDiscoveryService::Settings settings = KestrixDiscoveryService::Settings::fromSystem();
  settings.maxAnswersPerSecond = config_.maxSearchesPerSecond;
  settings.maxAnswersPerSourcePerSecond = config_.maxSearchesPerSourcePerSecond;
  settings.secret = config_.access.secret;
  discovery_ = std::make_unique<KestrixDiscoveryService>(
      *this, interfaces_, [this] { return describe(); }, settings);
  discovery_->setSenderFilter([this](const std::string& address) { return allowPeer(address); });
  discovery_->start();
}

KestrixServer::~KestrixServer() {
  // Says goodbye while the description can still be made.
  discovery_.reset();
}

bool KestrixServer::setConfig(const KestrixServerConfig& config, std::string& error) {
  if (!applyConfig(config, error)) return false;
  if (discovery_ != nullptr) discovery_->announce();
  return true;
}

bool KestrixServer::reload(const KestrixServerConfig& config, const std::string& rulesFile,
                           std::string& error) {
  if (!applyConfig(config, error)) return false;
  // Subscribers first: the announcement makes a description and sends on
  // every interface, which would hold their events up.
  publishRulesReload(rulesFile);
  if (discovery_ != nullptr) discovery_->announce();
  return true;
}

bool KestrixServer::applyConfig(const KestrixServerConfig& config, std::string& error) {
  if (config.access.listen != config_.access.listen &&
      !setListenAddresses(config.access.listen, config.access.listenDefault, error))
    return false;
  // The same secret keeps the proofs it has seen: a reload opens no replay.
  if (config.access.secret.empty())
    setLoginProof(nullptr);
  else if (loginProof() == nullptr || loginProof()->secret() != config.access.secret)
    setLoginProof(std::make_shared<rcLoginProof>(config.access.secret));
  events_.setSecret(config.access.secret);
  config_ = config;
  rules_ = std::make_shared<const KestrixTranslationRules::Index>(config_.rules);
  hostName_ = config_.hostName.empty() ? systemHostName() : config_.hostName;
  setLimits(config_.limits);
  if (discovery_ == nullptr) return true;
  discovery_->setMaxAnswersPerSecond(config_.maxSearchesPerSecond);
  discovery_->setMaxAnswersPerSourcePerSecond(config_.maxSearchesPerSourcePerSecond);
  discovery_->setSecret(config_.access.secret);
  return true;
}

bool KestrixServer::allowPeer(const std::string& address) {
  std::vector<CoNetworkInterface> interfaces;
  if (config_.access.allowLocal)
    interfaces_.getInterfaces(interfaces, CoNetworkDispatcher::TYPE_ALL);
  return config_.access.allows(address, interfaces);
}

int KestrixServer::timerWaitMs() {
  int wait = rcServerContext::timerWaitMs();
  for (const int other :
       {discovery_ != nullptr ? discovery_->timerWaitMs() : -1, events_.timerWaitMs()})
    if (other >= 0 && (wait < 0 || other < wait)) wait = other;
  return wait;
}

void KestrixServer::onTimers() {
  // Before the context's own: a client dropped while answered is freed in this round.
  for (KestrixTranslationWorkers::Answer& answer : translators_.take())
    returnFromDelayedCommand(answer.clientId, answer.ok, std::move(answer.value));
  rcServerContext::onTimers();
  if (discovery_ != nullptr) discovery_->onTimers();
  events_.onTimers();
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
  registerMethod(
      rcMethod(*this, "TranslatePaths", translatePaths, text, kWholeText, rcMethod::DELAYED));
  registerMethod(rcMethod(*this, "Shutdown", shutdown, rcParamVoid::getType(), none));
  registerMethod(
      rcMethod(*this, "RegisterEvents", registerEvents, rcParamVoid::getType(), kWholeText));
  registerMethod(
      rcMethod(*this, "UnregisterEvents", unregisterEvents, rcParamVoid::getType(), kWholeText));
}

KestrixDaemonInfo KestrixServer::describe() const {
  KestrixDaemonInfo info;
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
  // Read once per database, not per announcement.
  if (config_.storageId.empty() &&
      (keptStorageId_.empty() || keptStorageIdDatabase_ != config_.database)) {
    keptStorageId_ =
        KestrixStorageId::get(KestrixStorageId::Places::fromSystem(), config_.database, getPort());
    keptStorageIdDatabase_ = config_.database;
  }
  info.setStorageId(config_.storageId.empty() ? keptStorageId_.c_str() : config_.storageId.c_str());
  // The IPv4 addresses of the metadata interfaces the network configuration
  // names, reachable ones first and loopback last, as many as a receiver
  // reads of one announcement.
  std::vector<std::string> addresses;
  std::vector<std::string> loopback;
  std::vector<CoNetworkInterface> interfaces;
  interfaces_.getInterfaces(interfaces, CoNetworkDispatcher::TYPE_METADATA,
                            CoNetworkDispatcher::IPv4Filter);
  for (const CoNetworkInterface& itf : interfaces) {
    const std::string& address = itf.getIP();
    if (std::find(addresses.begin(), addresses.end(), address) != addresses.end() ||
        std::find(loopback.begin(), loopback.end(), address) != loopback.end())
      continue;
    (KestrixServerAccess::isLoopback(address) ? loopback : addresses).push_back(address);
  }
  addresses.insert(addresses.end(), loopback.begin(), loopback.end());
  unsigned n = 0;
  for (const std::string& address : addresses) {
    if (n == KestrixDaemonInfo::MAX_IPS) break;
    info.setMetadataIP(n, address.c_str());
    const std::string announcement = KestrixMulticastProtocol::create(
        KestrixMulticastProtocol::DISCOVER_SERVERS, info.toAttrStream());
    if (announcement.size() > KestrixMulticastProtocol::MAX_DATAGRAM) {
      info.setMetadataIP(n, "");
      break;
    }
    ++n;
  }
  return info;
}

std::string KestrixServer::canonicalHost(const std::string& host) const {
  // Clients name this server by its display name, which may hold a ':' of
  // its own ("Studio: Main"): it is matched whole before any ":port" goes.
  const std::string displayName = config_.displayName.empty() ? hostName_ : config_.displayName;
  if (host == displayName) return hostName_;
  std::string name = host;
  // "host:port" (one colon only: IPv6 literals keep theirs).
  const size_t colon = name.find(':');
  if (colon != std::string::npos && name.find(':', colon + 1) == std::string::npos)
    name.resize(colon);
  if (strcasecmp(name.c_str(), hostName_.c_str()) == 0 || name == displayName ||
      strcasecmp(name.c_str(), "localhost") == 0 || KestrixServerAccess::isLoopback(name) ||
      strcasecmp(name.c_str(), systemHostName().c_str()) == 0)
    return hostName_;
  return name;
}

bool KestrixServer::ping(void*, const rcMethod&, const rcParam::Array&, rcParam&) {
  return true;
}

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
  KestrixServer& server = self(method);
  std::string text;
  if (server.discovery_ != nullptr)
    text = server.discovery_->listText();
  else
    KestrixMulticastProtocol::encode({server.describe()}, text);
  result.setStringValue(text);
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

std::string osName(int type) {
  return KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(type));
}

}  // namespace

bool KestrixServer::getHostTranslations(void*, const rcMethod& method, const rcParam::Array&,
                                        rcParam& result) {
  static const char* const kKeys[4] = {"srcHost", "srcPath", "dstHost", "dstPath"};
  result.setStringValue(
      ruleList(self(method).config_.rules.hostTranslations, "numHostTranslations", kKeys,
               [](const KestrixRuleHostTranslation& r) {
                 return std::array<std::string, 4>{r.srcHost, r.srcPath, r.dstHost, r.dstPath};
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
                                   rcParam&) {
  // Every answer, a refusal too, reaches the client through the workers'
  // queue: a delayed method's reply is sent by the loop, once it is out of
  // the method.
  KestrixServer& server = self(method);
  const unsigned client = server.getCurrentClientId();
  const auto refuse = [&](std::string error) {
    server.translators_.answer({client, false, std::move(error)});
    return false;
  };
  std::string text;
  args[0].takeStringValue(text);
  std::array<std::string, 4> head;
  std::string_view list;
  if (!splitTranslateRequest(text, head, list))
    return refuse(
        "TranslatePaths takes 5 parameters: \"srcHost\" srcType \"dstHost\" "
        "dstType \"path\",\"path\",...");
  const size_t listPos = static_cast<size_t>(list.data() - text.data());
  const auto& [srcText, srcTypeText, dstText, dstTypeText] = head;
  if (srcText.empty()) return refuse("Invalid source host name given");
  if (dstText.empty()) return refuse("Invalid destination host name given");
  int srcType = 0;
  int dstType = 0;
  if (!parseOsType(srcTypeText, srcType))
    return refuse("Unknown source OS type '" + srcTypeText + "'");
  if (!parseOsType(dstTypeText, dstType))
    return refuse("Unknown destination OS type '" + dstTypeText + "'");
  // Requests handed on are no longer the loop's buffered input; the same
  // bound holds for them, so clients taking turns cannot pile them up.
  const uint64_t limit = server.getLimits().maxBufferedInputBytes;
  if (server.translators_.pendingBytes() + text.size() > limit)
    return refuse("Too many paths waiting to be translated (limit " + std::to_string(limit) +
                  " bytes); try again later");
  KestrixTranslationRules::Request request(*server.rules_, server.canonicalHost(srcText), srcType,
                                           server.canonicalHost(dstText), dstType);
  server.translators_.submit({client, server.rules_, std::move(request), std::move(text), listPos});
  return true;
}

bool KestrixServer::shutdown(void*, const rcMethod& method, const rcParam::Array&, rcParam&) {
  KestrixServer& server = self(method);
  const rcConnectionInfo* client = server.getCurrentConnectionInfo();
  const KestrixServerAccess::Shutdown allowed = server.config_.access.allowShutdown;
  if (client == nullptr || allowed == KestrixServerAccess::Shutdown::NO)
    return fail(method, "Shutdown is disabled by [Access] AllowShutdown");
  // The socket's peer, not what the login record claims.
  if (allowed == KestrixServerAccess::Shutdown::LOOPBACK &&
      !KestrixServerAccess::isLoopback(server.getCurrentPeerAddress()))
    return fail(method, "Shutdown is accepted from this host only ([Access] AllowShutdown)");
  CO_POST_NOTICE("Shutdown requested by %s", client->getConnectionStr().c_str());
  server.shutdownRequested_ = true;
  // The reply is written before the loop sees the cancel.
  server.cancel();
  return true;
}

namespace {

// Each text a subscriber gives is held for as long as it stays subscribed.
constexpr size_t MAX_SUBSCRIPTION_TEXT = 1024;
// Of an unknown node id quoted back to the client.
constexpr size_t MAX_QUOTED_NODE_ID = 64;

// The subscription a "RegisterEvents" or "UnregisterEvents" names. Events
// go back to the peer address of the client's socket: a login record could
// name any host.
bool readSubscription(const rcMethod& method, const rcParam::Array& args, KestrixServer& server,
                      KestrixEventPublisher::Subscription& subscription) {
  const rcAttrStream stream(args[0].stringValue());
  for (const char* name : {"Port", "Connection", "Subject"}) {
    std::string value;
    if (!stream.getStringValue(name, value))
      return fail(method, std::string("Missing '") + name + "' parameter");
  }
  stream.getIntValue("Port", subscription.port);
  stream.getIntValue("Connection", subscription.connection);
  const std::pair<const char*, std::string*> texts[] = {{"Subject", &subscription.subject},
                                                        {"Fmt", &subscription.format},
                                                        {"Meta", &subscription.metadata}};
  for (const auto& [name, text] : texts) {
    stream.getStringValue(name, *text);
    if (text->size() > MAX_SUBSCRIPTION_TEXT)
      return fail(method, std::string("'") + name + "' parameter longer than " +
                              std::to_string(MAX_SUBSCRIPTION_TEXT) + " bytes");
  }
  if (subscription.port < 1 || subscription.port > 65535)
    return fail(method, "Invalid 'Port' parameter");
  subscription.address = server.getCurrentPeerAddress();
  if (subscription.address.empty() || subscription.address == "0.0.0.0" ||
      subscription.address == "::")
    return fail(method, "Cannot call back a client whose address is unknown");
  return true;
}

}  // namespace

bool KestrixServer::registerEvents(void*, const rcMethod& method, const rcParam::Array& args,
                                   rcParam&) {
  KestrixServer& server = self(method);
  KestrixEventPublisher::Subscription subscription;
  if (!readSubscription(method, args, server, subscription)) return false;
  if (subscription.subject.empty()) return fail(method, "Invalid 'Subject' parameter");
  // Subscriptions to anything else would never hear of a change.
  if (subscription.subject != KESTRIXD_RULES_NODE_ID)
    return fail(method, "Unknown node '" +
                            CoLogText::escape(subscription.subject, MAX_QUOTED_NODE_ID) + "'");
  const size_t perPeer = server.config_.maxSubscriptionsPerPeer;
  switch (server.events_.subscribe(subscription, perPeer)) {
    case KestrixEventPublisher::Subscribed::YES:
      return true;
    case KestrixEventPublisher::Subscribed::SERVER_FULL:
      return fail(method, "Too many event subscriptions (" +
                              std::to_string(KestrixEventPublisher::MAX_SUBSCRIPTIONS) + ")");
    case KestrixEventPublisher::Subscribed::PEER_FULL:
      break;
  }
  return fail(method, "Too many event subscriptions from " + subscription.address + " (" +
                          std::to_string(perPeer) + ")");
}

bool KestrixServer::unregisterEvents(void*, const rcMethod& method, const rcParam::Array& args,
                                     rcParam&) {
  KestrixServer& server = self(method);
  KestrixEventPublisher::Subscription s;
  if (!readSubscription(method, args, server, s)) return false;
  server.events_.unsubscribe(s.address, s.port, s.connection, s.subject);
  return true;
}

void KestrixServer::publishRulesReload(const std::string& rulesFile) {
  rcAttrStream details;
  details.addStringValue("RulesFile", rulesFile);
  details.addIntValue("Groups", static_cast<int>(config_.rules.groups.size()));
  details.addIntValue("HostTranslations", static_cast<int>(config_.rules.hostTranslations.size()));
  details.addIntValue("OsTypeTranslations",
                      static_cast<int>(config_.rules.osTypeTranslations.size()));
  events_.publish(KESTRIXD_RULES_NODE_ID, "Modified", details.getStreamStr());
}

}  // namespace Kestrix
