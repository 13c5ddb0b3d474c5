// kestrixd: a small reference server for the Kestrix client library. It
// answers the remote methods every Kestrix server offers from one rules
// file, so that the command works on a fresh machine and every end-to-end
// test has a real peer. For development, tests and small sites.

#include <getopt.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkConfig.h"
#include "kestrix/server/KestrixRulesNode.h"
#include "kestrix/server/KestrixServer.h"

namespace {

constexpr int DEFAULT_PORT = 7549;
const Kestrix::rcServerContext::Limits kDefaults;

Kestrix::KestrixServer* gServer = nullptr;
std::atomic<bool> gReload{false};

void printUsage(FILE* to, const char* program) {
  std::fprintf(to,
               "Usage: %s [-t] [-c rules-file] [-p port]\n"
               "  -c FILE  server settings and translation rules (default: none, every\n"
               "           path is kept as it is between hosts of one group only)\n"
               "  -p PORT  TCP port to listen on (default %d)\n"
               "  -t       check the rules file and the network configuration, print\n"
               "           every error as FILE:LINE: MESSAGE and exit (0 when all is well)\n"
               "  -h, --help  print this text; --version  print the version\n"
               "Log lines start with the local time (ISO 8601), unless JOURNAL_STREAM\n"
               "says the journal, which adds its own, reads them; errors go to stderr.\n"
               "Stops on SIGINT, SIGTERM or a \"Shutdown\" call that [Access] allows;\n"
               "re-reads the rules file on SIGHUP.\n"
               "The rules file's [Access] section says who may use the server:\n"
               "  Listen         addresses to listen on (default 0.0.0.0, ::)\n"
               "  AllowFrom      networks that may connect, as 198.18.0.0/24 or ::1/128,\n"
               "                 and \"local\": loopback and this host's networks (default)\n"
               "  SecretFile     a secret every login must prove (clients name theirs\n"
               "                 with KESTRIX_SECRET_FILE); not readable by others\n"
               "  AllowShutdown  no (default), loopback or yes: who may call \"Shutdown\"\n"
               "Every client logs in first; anything else is answered \"Not logged in\".\n"
               "Events: kestrixd publishes its rules as the node \"%s\". After each\n"
               "successful reload every client registered for it (\"RegisterEvents\")\n"
               "gets a \"NodeEvent\" of type \"Modified\" whose details give RulesFile,\n"
               "Groups, HostTranslations and OsTypeTranslations. A call not answered\n"
               "within %u s (%u s once the monitor has answered) is tried again; a\n"
               "client monitor is dropped when it refuses the call or its login, answers\n"
               "\"Invalid Object\", or has not answered for %u s. With SecretFile, the\n"
               "calls' logins prove the secret.\n"
               "The rules file's [Limits] section bounds what clients may cost:\n"
               "  MaxRequestBytes        longest request line (default %llu)\n"
               "  MaxPendingOutputBytes  unsent replies of one client (default %llu)\n"
               "  MaxBufferedInputBytes  unfinished requests of all clients (default %llu)\n"
               "  MaxClients             clients at once (default %u; lowered to what\n"
               "                         the open-file limit allows)\n"
               "  StallTimeoutSeconds    a client that takes no byte of its reply for\n"
               "                         this long is dropped (default %u)\n"
               "  MaxSearchesPerSecond   discovery searches answered a second; the rest\n"
               "                         are dropped with a warning (default %u)\n"
               "  MaxSearchesPerSourcePerSecond\n"
               "                         of those, from one sender address (default %u)\n"
               "  MaxSubscriptionsPerPeer\n"
               "                         event subscriptions from one client address (default %u)\n"
               "Discovery: kestrixd announces itself on the multicast group of the\n"
               "network configuration (default 224.0.0.1 port 7555, TTL 1), answers\n"
               "searches and lists every server it hears in \"GetDaemonList\". Its\n"
               "storage id is [Server] StorageId of the rules file, else a UUID made\n"
               "once for each database and port and kept in $STATE_DIRECTORY (else\n"
               "/var/lib/kestrix), which stays the same across restarts.\n"
               "KESTRIX_MULTICAST_RESYNC_TIME (seconds, default 300)\n"
               "sets how often it announces itself (every half period) and forgets\n"
               "servers silent for two periods; KESTRIX_MULTICAST_MAX_SERVERS (default\n"
               "4096) bounds how many it keeps.\n",
               program, DEFAULT_PORT, KESTRIXD_RULES_NODE_ID,
               Kestrix::KestrixEventPublisher::FIRST_CALL_BUDGET_MS / 1000,
               Kestrix::KestrixEventPublisher::CALL_BUDGET_MS / 1000,
               Kestrix::KestrixEventPublisher::UNREACHABLE_MS / 1000,
               static_cast<unsigned long long>(kDefaults.maxRequestBytes),
               static_cast<unsigned long long>(kDefaults.maxPendingOutputBytes),
               static_cast<unsigned long long>(kDefaults.maxBufferedInputBytes),
               kDefaults.maxClients, kDefaults.stallTimeoutMs / 1000,
               Kestrix::KestrixServerConfig().maxSearchesPerSecond,
               Kestrix::KestrixServerConfig().maxSearchesPerSourcePerSecond,
               Kestrix::KestrixServerConfig().maxSubscriptionsPerPeer);
}

// Descriptors kestrixd keeps besides its clients': the listener, the
// loop's own, standard streams, and what a request may open.
constexpr rlim_t OWN_DESCRIPTORS = 64;

// Raises the open-file limit as far as the hard limit allows; the number
// of clients that fit under it.
rlim_t raiseDescriptorLimit() {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return RLIM_INFINITY;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return RLIM_INFINITY;
  return limit.rlim_cur > OWN_DESCRIPTORS ? limit.rlim_cur - OWN_DESCRIPTORS : 1;
}

// Keeps the client limit within what the descriptors allow.
void fitClientLimit(Kestrix::KestrixServerConfig& config, rlim_t room) {
  if (room == RLIM_INFINITY || config.limits.maxClients <= room) return;
  CO_POST_NOTICE("kestrixd: MaxClients lowered from %u to %llu to fit the open-file limit",
                 config.limits.maxClients, static_cast<unsigned long long>(room));
  config.limits.maxClients = static_cast<unsigned>(room);
}

void onStop(int) {
  if (gServer != nullptr) gServer->cancel();
}

void onReload(int) {
  gReload = true;
  if (gServer != nullptr) gServer->wakeUp();
}

void installSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = onStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = onReload;
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
}

// Log lines with the time in front, as a log file needs; the journal stamps
// lines itself. Errors go to standard error, the rest to standard output.
class TimedRouter : public Kestrix::CoMsg::Router {
 public:
  void post(const Kestrix::CoMsg::Msg& msg) const override {
    FILE* to = msg.getLevel() <= Kestrix::CoMsg::LEVEL_ERROR ? stderr : stdout;
    if (!stamped_) return Router::post(msg, to);
    ::flockfile(to);  // the time and its line stay together
    std::fputs(now().c_str(), to);
    Router::post(msg, to);
    ::funlockfile(to);
  }

 private:
  // 2026-12-06T11:20:01.512+00:00 and a space.
  static std::string now() {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    ::localtime_r(&ts.tv_sec, &local);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03ld%.3s:%.2s ", date, ts.tv_nsec / 1000000L, zone,
                  zone + 3);
    return text;
  }

  const bool stamped_ = std::getenv("JOURNAL_STREAM") == nullptr;
};

// A rules error as editors and compilers show it: FILE:LINE: MESSAGE.
std::string located(const char* path, int line, const std::string& message) {
  // Appended piece by piece: GCC 12 at -O2 takes ":" + std::string&& for an
  // overlapping copy (-Wrestrict).
  std::string text = path;
  if (line > 0) text.append(":").append(std::to_string(line));
  return text.append(": ").append(message);
}

// -t: every error found on standard error; 0 when there was none.
int checkOnly(const char* rulesPath) {
  bool ok = true;
  if (rulesPath != nullptr) {
    for (const Kestrix::KestrixServerConfig::Problem& problem :
         Kestrix::KestrixServerConfig::check(rulesPath)) {
      std::fprintf(stderr, "%s\n", located(rulesPath, problem.line, problem.message).c_str());
      ok = false;
    }
  }
  std::string badNetwork;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badNetwork)) {
    std::fprintf(stderr, "%s\n", badNetwork.c_str());
    ok = false;
  }
  if (!ok) return 1;
  std::printf("ok\n");
  return 0;
}

bool parsePort(const char* text, int& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A log read through a pipe or a file must show each line as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Large buffers come from the heap, not from mappings of their own that
  // go back (and fault in afresh) with every request: the heap is trimmed
  // once the large requests stop (below).
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  static const TimedRouter* const router = new TimedRouter;  // outlives every post
  Kestrix::CoMsg::setRouter(router);
  const char* rulesPath = nullptr;
  int port = DEFAULT_PORT;
  bool checkRules = false;
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;  // the usage text says it all
  for (int c; (c = ::getopt_long(argc, argv, "c:p:th", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        rulesPath = optarg;
        break;
      case 'p':
        if (!parsePort(optarg, port)) {
          std::fprintf(stderr, "kestrixd: invalid port '%s'\n", optarg);
          return 2;
        }
        break;
      case 't':
        checkRules = true;
        break;
      case 'h':
        printUsage(stdout, argv[0]);
        return 0;
      case 'V':
        std::printf("kestrixd %s\n", KESTRIX_VERSION);
        return 0;
      default:
        printUsage(stderr, argv[0]);
        return 2;
    }
  }
  if (optind < argc) {
    printUsage(stderr, argv[0]);
    return 2;
  }
  if (checkRules) return checkOnly(rulesPath);

  Kestrix::KestrixServerConfig config;
  std::string error;
  int errorLine = 0;
  if (rulesPath != nullptr && !config.load(rulesPath, error, nullptr, &errorLine)) {
    std::fprintf(stderr, "kestrixd: %s\n", located(rulesPath, errorLine, error).c_str());
    return 1;
  }
  const rlim_t clientRoom = raiseDescriptorLimit();
  fitClientLimit(config, clientRoom);
  std::string badNetwork;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badNetwork)) {
    std::fprintf(stderr, "kestrixd: %s\n", badNetwork.c_str());
    return 1;
  }
  Kestrix::KestrixServer server(port, config);
  if (!server.isValid()) return 1;  // the context has said why
  // Freed heap pages of large requests and replies go back to the system
  // once a second has passed without another: a server may not see such a
  // request again, but one that comes right after would fault them all in
  // afresh.
  using Clock = std::chrono::steady_clock;
  static constexpr auto kTrimDelay = std::chrono::seconds(1);
  Clock::time_point trimAt = Clock::time_point::max();
  server.setLargeBufferReleasedHook([&trimAt] { trimAt = Clock::now() + kTrimDelay; });
  gServer = &server;
  installSignals();
  const KestrixDaemonInfo self = server.describe();
  CO_POST_NOTICE("kestrixd: serving '%s' (database %s) on port %d", self.getDisplayName(),
                 self.getDatabase(), server.getPort());
  std::fflush(stdout);

  while (!server.isCancelled()) {
    struct timeval untilTrim = {0, 0};
    const bool trimPending = trimAt != Clock::time_point::max();
    if (trimPending) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(trimAt - Clock::now());
      const long long us = std::max<long long>(0, left.count());
      untilTrim.tv_sec = static_cast<time_t>(us / 1000000);
      untilTrim.tv_usec = static_cast<suseconds_t>(us % 1000000);
    }
    server.callIOHandlers(trimPending ? &untilTrim : nullptr);
    if (trimAt != Clock::time_point::max() && Clock::now() >= trimAt) {
      malloc_trim(0);
      trimAt = Clock::time_point::max();
    }
    if (!gReload.exchange(false) || rulesPath == nullptr) continue;
    Kestrix::KestrixServerConfig next;
    bool changing = false;
    if (next.load(rulesPath, error, &changing) &&
        (fitClientLimit(next, clientRoom), server.reload(next, rulesPath, error))) {
      CO_POST_NOTICE("kestrixd: rules reloaded from '%s'", rulesPath);
    } else if (changing) {
      // Most likely an editor saving in place; the next SIGHUP will do.
      CO_POST_WARNING("kestrixd: keeping the current rules: %s", error.c_str());
    } else {
      CO_POST_ERROR("kestrixd: keeping the current rules: %s", error.c_str());
    }
    std::fflush(stdout);
  }
  gServer = nullptr;
  CO_POST_NOTICE("kestrixd: stopped");
  return 0;
}
