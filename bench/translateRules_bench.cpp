// What "TranslatePaths" costs kestrixd as its rules grow, and what one huge
// request costs the other clients, against a kestrixd already running with
// the rules bench/translateRules.sh writes (host "fs" to host "e1": srcPath
// /data/pNNNNN becomes /mnt/pNNNNN, for NNNNN below the rule count):
//
//   translateRules_bench time PORT PATHS RULES RUNS
//     one request of PATHS paths, path i under rule i % RULES; prints the
//     best wall time of RUNS requests as "time: SECONDS".
//   translateRules_bench ping PORT PATHS RULES
//     one client sends a request of PATHS paths while a second one calls
//     "_ping" every 2 ms until the first has its reply; prints
//     "ping: COUNT MEDIAN_MS MAX_MS request: SECONDS".
//
// Every reply is checked (path count and first path); a wrong one ends the
// run with status 1. Run it inside tools/netns-run.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"

namespace Kestrix {
namespace {

using Clock = std::chrono::steady_clock;

// A million paths take seconds to send and translate on a loaded machine.
constexpr unsigned int CALL_TIMEOUT_MS = 120000;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string rulePath(const char* root, long rule) {
  char text[32];
  std::snprintf(text, sizeof text, "%s/p%05ld", root, rule);
  return text;
}

std::string requestParams(long paths, long rules) {
  std::string params = "\"fs\" 2 \"e1\" 2 ";
  params.reserve(params.size() + static_cast<size_t>(paths) * 40);
  for (long i = 0; i < paths; ++i) {
    params += i == 0 ? "\"" : ",\"";
    params += rulePath("/data", i % rules) + "/shot" + std::to_string(i) + ".exr\"";
  }
  return params;
}

// The reply has one translation per path and starts as the first should.
bool replyIsRight(const std::string& reply, long paths) {
  const long commas = std::count(reply.begin(), reply.end(), ',');
  return commas == paths - 1 && reply.rfind(rulePath("/mnt", 0) + "/shot0.exr", 0) == 0;
}

bool connected(rcAPI& api, int port) {
  if (api.connect("127.0.0.1", port, CALL_TIMEOUT_MS)) return true;
  std::fprintf(stderr, "translateRules_bench: cannot connect: %s\n", api.lastError().c_str());
  return false;
}

bool translate(rcAPI& api, const std::string& params, long paths) {
  std::string reply;
  if (!api.call(0, "TranslatePaths", params.c_str(), true, reply, CALL_TIMEOUT_MS)) {
    std::fprintf(stderr, "translateRules_bench: TranslatePaths failed: %s\n",
                 reply.substr(0, 200).c_str());
    return false;
  }
  if (replyIsRight(reply, paths)) return true;
  std::fprintf(stderr, "translateRules_bench: wrong reply: %s\n", reply.substr(0, 200).c_str());
  return false;
}

int timeRequests(int port, long paths, long rules, int runs) {
  rcAPI api;
  if (!connected(api, port)) return 2;
  const std::string params = requestParams(paths, rules);
  double best = 1e9;
  for (int run = 0; run < runs; ++run) {
    const Clock::time_point start = Clock::now();
    if (!translate(api, params, paths)) return 1;
    best = std::min(best, secondsSince(start));
  }
  std::printf("time: %.4f\n", best);
  return 0;
}

int pingDuringRequest(int port, long paths, long rules) {
  rcAPI pinger, sender;
  if (!connected(pinger, port) || !connected(sender, port)) return 2;
  const std::string params = requestParams(paths, rules);
  std::atomic<bool> done{false};
  bool ok = false;
  double requestSeconds = 0;
  std::thread big([&] {
    const Clock::time_point start = Clock::now();
    ok = translate(sender, params, paths);
    requestSeconds = secondsSince(start);
    done = true;
  });
  std::vector<double> ms;
  std::string result;
  while (!done) {
    const Clock::time_point start = Clock::now();
    if (!pinger.call(0, "_ping", "", true, result, CALL_TIMEOUT_MS)) {
      std::fprintf(stderr, "translateRules_bench: _ping failed: %s\n", result.c_str());
      done.wait(false);
      break;
    }
    ms.push_back(secondsSince(start) * 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  big.join();
  if (!ok || ms.empty()) return 1;
  std::sort(ms.begin(), ms.end());
  std::printf("ping: %zu %.3f %.3f request: %.4f\n", ms.size(), ms[ms.size() / 2], ms.back(),
              requestSeconds);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: translateRules_bench time PORT PATHS RULES RUNS\n"
               "       translateRules_bench ping PORT PATHS RULES\n");
  return 2;
}

}  // namespace
}  // namespace Kestrix

int main(int argc, char** argv) {
  if (argc < 5) return Kestrix::usage();
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  const long paths = std::atol(argv[3]);
  const long rules = std::atol(argv[4]);
  if (port <= 0 || paths <= 0 || rules <= 0 || rules > 99999) return Kestrix::usage();
  if (mode == "time" && argc == 6 && std::atoi(argv[5]) > 0)
    return Kestrix::timeRequests(port, paths, rules, std::atoi(argv[5]));
  if (mode == "ping" && argc == 5) return Kestrix::pingDuringRequest(port, paths, rules);
  return Kestrix::usage();
}
