// kestrix_servers: lists the servers that discovery finds, one per line,
// tab-separated: display name, database, storage id, node port and the
// metadata addresses joined by ",". With -w it keeps listening for the given
// seconds and prints a line per server added ("+"), updated ("~") or removed
// ("-") as it happens. Exit code 1 on a usage error or when no server was
// found, 0 otherwise.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "common/base/network/CoNetworkConfig.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
#include "kestrix/tools/translate_path/getopt.h"

namespace {

std::string gDatabase;
long gWaitSeconds = -1;

// Answers to a search keep arriving for a moment after the first one.
constexpr auto kSettle = std::chrono::milliseconds(200);
constexpr auto kSettleMax = std::chrono::milliseconds(1000);

void printUsage(const char* program) {
  std::printf("Usage: %s [-d <database>] [-w <seconds>]\n", program);
  std::printf("  Lists the Kestrix servers that discovery finds, one per line:\n");
  std::printf("  display name, database, storage id, node port, metadata addresses.\n");
  std::printf("  -d  only the servers of this database\n");
  std::printf("  -w  keep listening this long and print servers added (+), updated (~)\n");
  std::printf("      and removed (-) as it happens\n\n");
}

bool parseOptions(int argc, char** argv) {
  for (;;) {
    const int c = getopt(argc, argv, "d:w:");
    switch (c) {
      case -1:
        return optind == argc;
      case 'd':
        gDatabase = optarg;
        break;
      case 'w': {
        char* end = nullptr;
        gWaitSeconds = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || gWaitSeconds < 0 || gWaitSeconds > 86400)
          return false;
        break;
      }
      default:
        return false;
    }
  }
}

std::string describe(const KestrixDaemonInfo& info) {
  std::string addresses;
  for (unsigned i = 0; *info.getMetadataIP(i) != '\0'; ++i) {
    if (i > 0) addresses += ',';
    addresses += info.getMetadataIP(i);
  }
  return std::string(info.getDisplayName()) + '\t' + info.getDatabase() + '\t' +
         info.getStorageId() + '\t' + std::to_string(info.getNodePort()) + '\t' + addresses;
}

// Counts what discovery reports and, once listening, prints it.
class Watcher : public KestrixMulticastClient::Observer {
 public:
  void notify(Event event, const KestrixDaemonInfo& info) override {
    if (!gDatabase.empty() && gDatabase != info.getDatabase()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lastNews_ = std::chrono::steady_clock::now();
    if (!printing_) return;
    static const char* const kSign[] = {"~", "+", "-"};
    std::printf("%s\t%s\n", kSign[event], describe(info).c_str());
    std::fflush(stdout);
    printed_ = true;
  }
  // Waits until no news came for kSettle, kSettleMax at most.
  void settle() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    lastNews_ = start;
    while (std::chrono::steady_clock::now() - start < kSettleMax &&
           std::chrono::steady_clock::now() - lastNews_ < kSettle) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      lock.lock();
    }
  }
  void startPrinting() {
    std::lock_guard<std::mutex> lock(mutex_);
    printing_ = true;
  }
  bool printed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_;
  }

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point lastNews_;
  bool printing_ = false;
  bool printed_ = false;
};

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
  const char* database = gDatabase.empty() ? nullptr : gDatabase.c_str();
  Watcher watcher;
  KestrixMulticastClient::addObserver(&watcher);
  KestrixMulticastClient& discovery = KestrixMulticastClient::getInstance();
  discovery.refresh(database);
  watcher.settle();

  std::list<KestrixDaemonInfo> servers;
  discovery.getServers(&servers, database, nullptr, 0);
  for (const KestrixDaemonInfo& info : servers) std::printf("%s\n", describe(info).c_str());
  std::fflush(stdout);
  bool found = !servers.empty();
  if (gWaitSeconds > 0) {
    watcher.startPrinting();
    std::this_thread::sleep_for(std::chrono::seconds(gWaitSeconds));
  }
  KestrixMulticastClient::removeObserver(&watcher);
  found = found || watcher.printed();
  if (!found)
    std::printf("No Kestrix server found%s%s.\n", database ? " for database " : "",
                database ? database : "");
  return found ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!parseOptions(argc, argv)) {
    printUsage(argv[0]);
    return 1;
  }
  return run();
}
