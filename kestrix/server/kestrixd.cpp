// kestrixd: a small reference server for the Kestrix client library. It
// answers the remote methods every Kestrix server offers from one rules
// file, so that the command works on a fresh machine and every end-to-end
// test has a real peer. For development, tests and small sites.

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "kestrix/server/KestrixServer.h"

namespace {

constexpr int DEFAULT_PORT = 7549;

Kestrix::KestrixServer* gServer = nullptr;
std::atomic<bool> gReload{false};

void printUsage(const char* program) {
  std::printf(
      "Usage: %s [-c rules-file] [-p port]\n"
      "  -c FILE  server settings and translation rules (default: none, every\n"
      "           path is kept as it is between hosts of one group only)\n"
      "  -p PORT  TCP port to listen on (default %d)\n"
      "  -h       print this text\n"
      "Stops on SIGINT, SIGTERM or a \"Shutdown\" call from this host;\n"
      "re-reads the rules file on SIGHUP.\n",
      program, DEFAULT_PORT);
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
  // Large requests come one after another: keep freed memory in the heap for
  // the next one instead of giving it back and faulting it in again.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const char* rulesPath = nullptr;
  int port = DEFAULT_PORT;
  for (int c; (c = ::getopt(argc, argv, "c:p:h")) != -1;) {
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
      case 'h':
        printUsage(argv[0]);
        return 0;
      default:
        printUsage(argv[0]);
        return 2;
    }
  }
  if (optind < argc) {
    printUsage(argv[0]);
    return 2;
  }

  Kestrix::KestrixServerConfig config;
  std::string error;
  if (rulesPath != nullptr && !config.load(rulesPath, error)) {
    std::fprintf(stderr, "kestrixd: %s\n", error.c_str());
    return 1;
  }
  Kestrix::KestrixServer server(port, config);
  if (!server.isValid()) return 1;  // the context has said why
  gServer = &server;
  installSignals();
  const KestrixDaemonInfo self = server.describe();
  CO_POST_NOTICE("kestrixd: serving '%s' (database %s) on port %d", self.getDisplayName(),
                 self.getDatabase(), server.getPort());
  std::fflush(stdout);

  while (!server.isCancelled()) {
    server.callIOHandlers(static_cast<struct timeval*>(nullptr));
    if (!gReload.exchange(false) || rulesPath == nullptr) continue;
    Kestrix::KestrixServerConfig next;
    if (next.load(rulesPath, error)) {
      server.setConfig(next);
      CO_POST_NOTICE("kestrixd: rules reloaded from '%s'", rulesPath);
    } else {
      CO_POST_ERROR("kestrixd: keeping the current rules: %s", error.c_str());
    }
    std::fflush(stdout);
  }
  gServer = nullptr;
  CO_POST_NOTICE("kestrixd: stopped");
  return 0;
}
