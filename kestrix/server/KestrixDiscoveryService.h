#pragma once
// kestrixd on the discovery group. At start it announces the server's
// description ("DISCOVER_SERVERS") on every multicast interface and sends
// one search of its own, so that it learns of servers that started before
// it; it answers a search whose filter matches it with a unicast reply to
// the sender, at most a set number a second from each sender and from all
// of them together (searches from loopback, this host's own clients, are
// always answered and count against neither); it announces again every half
// resync period, and says "REMOVE_SERVER" when it stops. Every server it
// hears is kept for "GetDaemonList" until it has been silent for two resync
// periods, up to a bound, so that a flood of forged announcements cannot
// grow the server.
//
// What others send is taken with care: each datagram lists the address of
// the interface it leaves by first, so that receivers reach the server the
// way the datagram came; answers count only soon after its own search; a
// known server's description changes, and it is
// forgotten, only through a datagram from one of its own addresses (or
// from this host), unless it expired; with a shared secret every datagram
// is signed and only signed ones from others count. Received addresses are
// compared as text, never looked up. A change of the server's own
// description (an address or interface came or went) is announced at once.
//
// The sockets are I/O handlers of the server's own loop and the deadlines
// come through timerWaitMs()/onTimers(), so no thread is needed. Searches
// are heard on the group and also on 127.0.0.1 and on each interface
// address: a unicast datagram to a port that several wildcard sockets share
// reaches only the one bound last, whereas a socket bound to the address
// itself always gets it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/rcApi/rcAppContext.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"

struct sockaddr_storage;

namespace Kestrix {

class CoMulticast;

class KestrixDiscoveryService {
 public:
  struct Settings {
    unsigned port = 7555;
    std::string scope = "224.0.0.1";
    unsigned ttl = 1;
    int64_t resyncMs = 300000;
    unsigned maxAnswersPerSecond = 100;
    unsigned maxAnswersPerSourcePerSecond = 10;
    // Senders tracked at once; the ones beyond share one sender's budget,
    // so that forged addresses cannot grow the table.
    size_t maxSearchSources = 4096;
    size_t maxServers = 4096;
    // Signs what is sent and takes only signed datagrams, when not empty.
    std::string secret;

    // Port, scope and TTL from the network configuration; the resync period
    // (KESTRIX_MULTICAST_RESYNC_TIME, seconds) and the bound on known
    // servers (KESTRIX_MULTICAST_MAX_SERVERS) from the environment.
    static Settings fromSystem();
  };
  using Describe = std::function<KestrixDaemonInfo()>;

  KestrixDiscoveryService(rcAppContext& loop, CoNetworkDispatcher& interfaces, Describe describe,
                          const Settings& settings);
  ~KestrixDiscoveryService();
  KestrixDiscoveryService(const KestrixDiscoveryService&) = delete;
  KestrixDiscoveryService& operator=(const KestrixDiscoveryService&) = delete;

  // Opens the sockets, announces and searches. Sockets that cannot be
  // opened are reported and done without.
  void start();
  // Says goodbye on every interface and closes the sockets.
  void stop();
  // Announces the description as it is now; when its storage id changed,
  // the old identity is removed first.
  void announce();
  void setMaxAnswersPerSecond(unsigned count) { settings_.maxAnswersPerSecond = count; }
  void setMaxAnswersPerSourcePerSecond(unsigned count) {
    settings_.maxAnswersPerSourcePerSecond = count;
  }
  void setSecret(const std::string& secret) { settings_.secret = secret; }
  // Datagrams from senders it refuses (their numeric address) are ignored.
  void setSenderFilter(std::function<bool(const std::string&)> allow) {
    allowSender_ = std::move(allow);
  }

  // The loop's wait before onTimers() must run; -1: none.
  int timerWaitMs() const;
  void onTimers();

  // The server list ("GetDaemonList"): this server first, then every other
  // server heard and not yet expired.
  std::string listText() const;

 private:
  class Endpoint;
  class InterfaceWatch;
  struct Known {
    KestrixDaemonInfo info;
    int64_t heardMs;
    // The description's text, made when heard: a list of thousands is asked
    // for by every program that starts.
    std::string text;
  };

  // Brings the sockets in line with the host's interfaces.
  void syncInterfaces();
  void openSender(const std::string& ip, const std::string& name);
  void openListener(const std::string& ip);
  // By interface name: an interface with several addresses is joined once
  // and left with its last one.
  void joinGroupOn(const std::string& name, bool join);
  std::unique_ptr<Endpoint> endpoint(std::unique_ptr<CoMulticast> socket);

  std::string datagram(KestrixMulticastProtocol::RequestType type,
                       const Kestrix::rcAttrStream& data) const;
  // The description (null: an empty search) on each interface, or on onlyIp.
  void multicast(KestrixMulticastProtocol::RequestType type, const KestrixDaemonInfo* info,
                 const std::string& onlyIp = std::string());
  void receive(CoMulticast& socket);
  void answer(const Kestrix::rcAttrStream& filter, const sockaddr_storage& to,
              const std::string& fromIp, int64_t nowMs);
  // Counts the search against its sender's and the global budget; false
  // when either is spent this second.
  bool withinBudget(const std::string& fromIp, int64_t nowMs);
  void remember(KestrixDaemonInfo info, const std::string& fromIp, int64_t nowMs);
  void forget(KestrixDaemonInfo info, const std::string& fromIp, int64_t nowMs);
  // Whether a datagram from fromIp may change or remove a known server.
  bool speaksFor(const Known& known, const std::string& fromIp, int64_t nowMs) const;
  void expire(int64_t nowMs);

  rcAppContext& loop_;
  CoNetworkDispatcher& interfaces_;
  Describe describe_;
  Settings settings_;
  std::function<bool(const std::string&)> allowSender_;
  bool started_ = false;
  std::unique_ptr<InterfaceWatch> watch_;
  std::atomic<bool> interfacesChanged_{false};

  std::unique_ptr<Endpoint> public_;
  std::set<std::string> joined_;                              // interface names
  std::map<std::string, std::unique_ptr<Endpoint>> senders_;  // by interface address
  std::map<std::string, std::string> senderNames_;
  std::map<std::string, std::unique_ptr<Endpoint>> listeners_;
  std::unique_ptr<CoMulticast> replies_;
  std::string announcedStorageId_;
  // The description as last announced: searches and announcements are
  // matched against it without making it afresh each time.
  KestrixDaemonInfo self_;

  std::list<Known> known_;
  // By KestrixMulticastProtocol::serverKey, so that each datagram costs no
  // walk of the list.
  std::unordered_map<std::string, std::list<Known>::iterator> knownByKey_;
  // Answers count only this soon after a search of this server's.
  static constexpr int64_t REPLY_WINDOW_MS = 3000;
  int64_t lastSearchMs_ = -REPLY_WINDOW_MS - 1;
  int64_t nextAnnounceMs_ = 0;
  int64_t nextResyncMs_ = 0;
  int64_t fullWarnedMs_ = -1;
  // Searches answered in the current second of the monotonic clock, in all
  // and per sender; the table is emptied when the second changes.
  int64_t answerSecond_ = -1;
  unsigned answered_ = 0;
  std::unordered_map<std::string, unsigned> answeredFrom_;
  unsigned answeredOthers_ = 0;
  bool floodWarned_ = false;
  CoLogLimiter sourceFloodLog_{"Discovery searches over a sender's limit", {1, 1, 1024, 1000}};
  mutable CoLogLimiter claimsLog_{"Discovery claims on known servers", {1, 1, 1024, 1000}};
};

}  // namespace Kestrix
