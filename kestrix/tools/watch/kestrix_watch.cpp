// kestrix_watch: registers a handler for one node of a Kestrix server and
// prints a line per event as it arrives, until SIGINT or SIGTERM:
//   <local time> <node id> <type> <name>=<value> ...
// It pings the server every 2 seconds, so that a restarted server is
// reconnected to and the subscription sent again; losing the server and
// having it back print one line each, marked with "--". Exit code 0 after
// a signal; 1 on a usage error or when the server cannot be reached at the
// start.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "common/base/network/CoNetworkConfig.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/server/KestrixRulesNode.h"
#include "kestrix/tools/translate_path/getopt.h"

namespace {

constexpr int PING_INTERVAL_MS = 2000;
constexpr unsigned int PING_TIMEOUT_MS = 2000;

std::string gServerHost;
std::string gNodeId = KESTRIXD_RULES_NODE_ID;
int gWakeUp[2] = {-1, -1};

void printUsage(const char* program) {
  std::printf("Usage: %s [-h <host name or IP of Kestrix server> (default = localhost)]\n",
              program);
  std::printf("  [-n <node id> (default = %s, the rules of kestrixd)]\n\n", KESTRIXD_RULES_NODE_ID);
  std::printf("  Prints a line per event of the node as it arrives, until interrupted.\n\n");
}

bool parseOptions(int argc, char** argv) {
  for (;;) {
    switch (getopt(argc, argv, "h:n:")) {
      case -1:
        return optind == argc && !gNodeId.empty();
      case 'h':
        gServerHost = optarg;
        break;
      case 'n':
        gNodeId = optarg;
        break;
      default:
        return false;
    }
  }
}

std::string now() {
  timeval tv;
  ::gettimeofday(&tv, nullptr);
  tm local;
  ::localtime_r(&tv.tv_sec, &local);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
  return text;
}

// Lines come from the monitor thread and from the main thread.
std::mutex gOutput;

void printLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(gOutput);
  std::printf("%s %s\n", now().c_str(), line.c_str());
  std::fflush(stdout);
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

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (::write(gWakeUp[1], &byte, 1) < 0) {
  }
  errno = saved;
}

bool installSignals() {
  if (::pipe2(gWakeUp, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// True when a signal came within the wait.
bool signalled(int waitMs) {
  pollfd wake = {gWakeUp[0], POLLIN, 0};
  return ::poll(&wake, 1, waitMs) > 0;
}

int run() {
  std::string badConfig;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badConfig)) {
    std::printf("%s\n", badConfig.c_str());
    return 1;
  }
  KestrixClient client;
  if (!client.init()) {
    std::printf("Unable to initialize Kestrix client API.\n");
    return 1;
  }
  if (!installSignals()) {
    std::printf("Unable to handle signals.\n");
    return 1;
  }
  if (gServerHost.empty()) gServerHost = KestrixOS::getHostName().c_str();
  KestrixServerHandle server{KestrixServerId(gServerHost.c_str())};
  Printer printer;
  if (!server.registerEventHandler(gNodeId.c_str(), &printer)) {
    std::printf("Unable to watch node '%s' on server '%s': %s\n", gNodeId.c_str(),
                gServerHost.c_str(), server.lastError());
    return 1;
  }
  printLine("-- watching node '" + gNodeId + "' on server '" + gServerHost + "'");
  bool reachable = true;
  while (!signalled(PING_INTERVAL_MS)) {
    const bool ok = server.ping(PING_TIMEOUT_MS);
    if (ok == reachable) continue;
    reachable = ok;
    printLine(ok ? "-- server '" + gServerHost + "' is back"
                 : "-- lost server '" + gServerHost + "': " + server.lastError());
  }
  if (!server.unregisterEventHandler(gNodeId.c_str(), &printer) && reachable)
    printLine(std::string("-- could not unregister: ") + server.lastError());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so that a pipe or a file sees each event as it comes.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!parseOptions(argc, argv)) {
    printUsage(argv[0]);
    return 1;
  }
  return run();
}
