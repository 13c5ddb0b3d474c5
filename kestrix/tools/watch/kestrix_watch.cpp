// kestrix_watch: registers a handler for one node of a Kestrix server and
// prints a line per event as it arrives on standard output, until Ctrl+C
// (SIGINT, SIGTERM; on Windows also Ctrl+Break or a closed console) or the
// end of -t SECONDS:
//   <local time> <node id> <type> <name>=<value> ...
// It pings the server every 2 seconds, so that a restarted server is
// reconnected to and the subscription sent again; losing the server and
// having it back print one line each on standard error, marked with "--".
// Exit code 0 after a signal or the time-out; 1 when the server cannot be
// reached at the start; 2 on a usage error.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "common/base/network/CoNetworkConfig.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/server/KestrixRulesNode.h"
#include "kestrix/tools/common/ToolOptions.h"
#include "kestrix/tools/watch/WatchStop.h"

namespace {

constexpr int PING_INTERVAL_MS = 2000;
constexpr unsigned int PING_TIMEOUT_MS = 2000;

std::string gServerHost;
std::string gNodeId = KESTRIXD_RULES_NODE_ID;

long gSeconds = -1;  // -t: run this long; -1 until a signal

void printUsage(FILE* to, const char* program) {
  std::fprintf(to,
               "Usage: %s [-h <host name or IP of Kestrix server> (default = localhost)]\n"
               "  [-n <node id> (default = %s, the rules of kestrixd)] [-t <seconds>]\n\n"
               "  Prints a line per event of the node as it arrives, until interrupted\n"
               "  or, with -t, until that many seconds have passed.\n"
               "  --help, --version\n\n",
               program, KESTRIXD_RULES_NODE_ID);
}

using KestrixTools::Parsed;

Parsed parseOptions(int argc, char** argv) {
  const Parsed parsed = KestrixTools::parseOptions(
      argc, argv, "h:n:t:", "kestrix_watch", printUsage, [](int c, const char* value) {
        if (c == 'h') gServerHost = value;
        if (c == 'n') gNodeId = value;
        return c != 't' || KestrixTools::parseSeconds(value, 86400L * 365, gSeconds);
      });
  return parsed == Parsed::RUN && gNodeId.empty() ? Parsed::USAGE_ERROR : parsed;
}

std::string now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm local;
  ::localtime_r(&seconds, &local);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(ms % 1000));
  return text;
}

// Lines come from the monitor thread and from the main thread.
std::mutex gOutput;

// Events are the data (standard output); what the command says about
// itself goes to standard error.
void printLine(const std::string& line, FILE* to = stdout) {
  std::lock_guard<std::mutex> lock(gOutput);
  std::fprintf(to, "%s %s\n", now().c_str(), line.c_str());
  std::fflush(to);
}

void printStatus(const std::string& line) {
  printLine(line, stderr);
}

class Printer : public KestrixNodeEvent::Handler {
 public:
  void handleEvent(const KestrixNodeEvent& event) override {
    std::string line = std::string(event.getNodeId().c_str()) + ' ' + event.getType().c_str();
    const KestrixDictionary& details = event.getDetails();
    KestrixStr name, value;
    for (unsigned int i = 0; details.getEntry(i, name, value); ++i)
      line += std::string(" ") + name.c_str() + '=' + value.c_str();
    printLine(line);
  }
};

using Clock = std::chrono::steady_clock;

// True when a stop was asked for within the wait, or the deadline passed.
bool signalled(int waitMs, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return true;
  if (KestrixWatch::waitForStop(static_cast<int>(std::min<long long>(waitMs, left.count()))))
    return true;
  return Clock::now() >= deadline;
}

int run() {
  std::string badConfig;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badConfig)) {
    std::fprintf(stderr, "%s\n", badConfig.c_str());
    return 1;
  }
  KestrixClient client;
  if (!client.init()) {
    std::fprintf(stderr, "Unable to initialize Kestrix client API.\n");
    return 1;
  }
  if (!KestrixWatch::installStopHandler()) {
    std::fprintf(stderr, "Unable to handle signals.\n");
    return 1;
  }
  if (gServerHost.empty()) gServerHost = KestrixOS::getHostName().c_str();
  KestrixServerHandle server{KestrixServerId(gServerHost.c_str())};
  Printer printer;
  if (!server.registerEventHandler(gNodeId.c_str(), &printer)) {
    std::fprintf(stderr, "Unable to watch node '%s' on server '%s': %s\n", gNodeId.c_str(),
                 gServerHost.c_str(), server.lastError());
    return 1;
  }
  const Clock::time_point deadline =
      gSeconds < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::seconds(gSeconds);
  printStatus("-- watching node '" + gNodeId + "' on server '" + gServerHost + "'");
  bool reachable = true;
  while (!signalled(PING_INTERVAL_MS, deadline)) {
    const bool ok = server.ping(PING_TIMEOUT_MS);
    if (ok == reachable) continue;
    reachable = ok;
    printStatus(ok ? "-- server '" + gServerHost + "' is back"
                   : "-- lost server '" + gServerHost + "': " + server.lastError());
  }
  if (!server.unregisterEventHandler(gNodeId.c_str(), &printer) && reachable)
    printStatus(std::string("-- could not unregister: ") + server.lastError());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so that a pipe or a file sees each event as it comes.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Parsed parsed = parseOptions(argc, argv);
  if (parsed != Parsed::RUN) return KestrixTools::exitStatus(parsed, printUsage, argv[0]);
  return run();
}
