// Node events through the client library's event monitor, in the roles
// bench/events.sh runs side by side inside tools/netns-run:
//
//   events_bench latency SERVER PID RULES RELOADS PING_PORT
//     registers a handler for kestrixd's rules node ("kestrixd:rules") on a
//     server handle for SERVER (e.g. 127.0.0.1:7549), then RELOADS times
//     rewrites the rules file RULES, sends SIGHUP to kestrixd (PID) and
//     times the reload until the handler is called. Between reloads it
//     times synchronous "_ping" calls of the remote-call engine against the
//     context on PING_PORT (rcPing_bench server), in a row and one after an
//     idle pause like the reload's, so the medians come from the same
//     minutes. Prints lines starting with "latency:", "roundtrip:" and
//     "idle roundtrip:" (microseconds); exit 1 when an event is missing or
//     comes twice.
//   events_bench monitor
//     runs a small server context answering "Ping", "RegisterEvents" and
//     "UnregisterEvents", registers a handler for the node "bench:node" on a
//     server handle for it, and prints "monitor: PORT CONNECTION" (the event
//     monitor's port and the event connection's id, as "RegisterEvents"
//     carried them). When standard input ends it prints "delivered: N", the
//     handler's calls.
//   events_bench send PORT CONNECTION SECONDS
//     one remote-call connection to the monitor on PORT calls "NodeEvent"
//     synchronously on object CONNECTION for SECONDS; prints "events: RATE"
//     (calls/s) and "sent: N". Exit 1 when a call fails.
//
// The source text of the rules file is restored when the latency run ends.

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcParam.h"
#include "common/base/rcApi/rcServerContext.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixNodeEvent.h"
#include "kestrix/client/api/KestrixServerId.h"

namespace {

using Clock = std::chrono::steady_clock;
using Kestrix::rcAttrStream;
using Kestrix::rcMethod;
using Kestrix::rcParam;

constexpr unsigned int CALL_TIMEOUT_MS = 5000;
// Reloads before the measured ones: the first callbacks may set up what
// later ones reuse.
constexpr int WARMUP_RELOADS = 2;
// Round trips timed before each reload.
constexpr int PINGS_PER_RELOAD = 20;
constexpr auto EVENT_WAIT = std::chrono::seconds(5);
// Quiet time before each reload.
constexpr auto PAUSE = std::chrono::milliseconds(20);

int usage() {
  std::fprintf(stderr,
               "usage: events_bench latency SERVER PID RULES RELOADS PING_PORT\n"
               "       events_bench monitor\n"
               "       events_bench send PORT CONNECTION SECONDS\n");
  return 2;
}

bool parsePositive(const char* text, long max, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value > 0 && value <= max;
}

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Median, minimum, 90th percentile and maximum, in microseconds.
std::string summary(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  char text[160];
  std::snprintf(text, sizeof text, "%.1f us median of %zu (min %.1f, p90 %.1f, max %.1f)",
                values[(n - 1) / 2], n, values.front(), values[n * 9 / 10 < n ? n * 9 / 10 : n - 1],
                values.back());
  return text;
}

// Records when each event arrives; the bench waits on it.
class Recorder : public KestrixNodeEvent::Handler {
 public:
  void handleEvent(const KestrixNodeEvent& event) override {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    times_.push_back(now);
    last_ = std::string(event.getNodeId().c_str()) + " " + event.getType().c_str() + " [" +
            event.getDetails().c_str() + "]";
    changed_.notify_all();
  }
  // The arrival time of event number n (from 1), if it came in time.
  bool waitFor(size_t n, Clock::time_point& when) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, EVENT_WAIT, [&] { return times_.size() >= n; })) return false;
    when = times_[n - 1];
    return true;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_.size();
  }
  std::string last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> times_;
  std::string last_;
};

bool readFile(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool writeFile(const char* path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

int latency(const char* server, pid_t kestrixd, const char* rules, long reloads, int pingPort) {
  KestrixClient client;
  if (!client.init()) {
    std::fprintf(stderr, "events_bench: the client library did not start\n");
    return 2;
  }
  std::string original;
  if (!readFile(rules, original)) {
    std::fprintf(stderr, "events_bench: cannot read %s\n", rules);
    return 2;
  }
  Kestrix::rcAPI ping;
  if (!ping.connect("127.0.0.1", pingPort, CALL_TIMEOUT_MS)) {
    std::fprintf(stderr, "events_bench: rcPing server: %s\n", ping.lastError().c_str());
    return 2;
  }
  Recorder recorder;
  KestrixServerHandle handle{KestrixServerId(server)};
  // A server that refuses the subscription leaves the aim missed, not the
  // measurement broken.
  if (!handle.registerEventHandler("kestrixd:rules", &recorder)) {
    std::printf("refused: registering for kestrixd:rules failed: %s\n", handle.lastError());
    return 1;
  }

  std::vector<double> latencies, roundTrips, coldTrips;
  int missing = 0;
  std::string reply;
  const long total = reloads + WARMUP_RELOADS;
  for (long i = 1; i <= total; ++i) {
    const std::string text = original + "# events_bench reload " + std::to_string(i) + "\n";
    if (!writeFile(rules, text)) {
      std::fprintf(stderr, "events_bench: cannot write %s\n", rules);
      return 2;
    }
    for (int k = 0; k < PINGS_PER_RELOAD; ++k) {
      const Clock::time_point start = Clock::now();
      if (!ping.call(0, "_ping", "", true, reply, CALL_TIMEOUT_MS)) {
        std::fprintf(stderr, "events_bench: _ping failed: %s\n", reply.c_str());
        return 2;
      }
      if (i > WARMUP_RELOADS) roundTrips.push_back(micros(Clock::now() - start));
    }
    // Whatever the last reload left behind settles first. A reload finds
    // both processes idle, which a round trip in a row of them does not:
    // one after the same pause shows what waking them costs.
    std::this_thread::sleep_for(PAUSE);
    const Clock::time_point coldStart = Clock::now();
    if (!ping.call(0, "_ping", "", true, reply, CALL_TIMEOUT_MS)) {
      std::fprintf(stderr, "events_bench: _ping failed: %s\n", reply.c_str());
      return 2;
    }
    if (i > WARMUP_RELOADS) coldTrips.push_back(micros(Clock::now() - coldStart));
    std::this_thread::sleep_for(PAUSE);
    const size_t expected = recorder.count() + 1;
    const Clock::time_point start = Clock::now();
    if (::kill(kestrixd, SIGHUP) != 0) {
      std::fprintf(stderr, "events_bench: kill: %s\n", std::strerror(errno));
      return 2;
    }
    Clock::time_point arrived;
    if (!recorder.waitFor(expected, arrived)) {
      ++missing;
      std::fprintf(stderr, "events_bench: reload %ld: no event within 5 s\n", i);
      // A server that sends none would keep us here for minutes.
      if (i == 1 || missing == 3) break;
      continue;
    }
    if (i > WARMUP_RELOADS) latencies.push_back(micros(arrived - start));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const size_t calls = recorder.count();
  writeFile(rules, original);
  handle.unregisterEventHandler("kestrixd:rules", &recorder);

  std::printf("event: %s\n", recorder.last().c_str());
  if (!latencies.empty()) std::printf("latency: %s\n", summary(latencies).c_str());
  if (!roundTrips.empty()) {
    std::printf("roundtrip: %s\n", summary(roundTrips).c_str());
    std::printf("idle roundtrip: %s\n", summary(coldTrips).c_str());
  }
  std::printf("handler calls: %zu for %ld reloads (%d warm-up), %d missing\n", calls, total,
              WARMUP_RELOADS, missing);
  return missing == 0 && calls == static_cast<size_t>(total) ? 0 : 1;
}

// ---- throughput ---------------------------------------------------------

// Stands in for a server: answers what a handle sends when it subscribes,
// and keeps the event connection's id and the monitor's port.
class Subscriptions : public Kestrix::rcServerContext {
 public:
  Subscriptions() : rcServerContext(0) {
    static const rcParam::Info wholeText[] = {{&Kestrix::rcParamString::getType(), "params"},
                                              {nullptr, nullptr}};
    const auto add = [this](const char* name, rcMethod::Function function,
                            const rcParam::Info* params) {
      registerMethod(rcMethod(*this, name, function, Kestrix::rcParamVoid::getType(), params));
    };
    add("Ping", accept, nullptr);
    add("RegisterEvents", subscribe, wholeText);
    add("UnregisterEvents", accept, wholeText);
  }
  int monitorPort = 0;
  int connection = 0;

 private:
  static bool accept(void*, const rcMethod&, const rcParam::Array&, rcParam&) { return true; }
  static bool subscribe(void*, const rcMethod& method, const rcParam::Array& args, rcParam&) {
    auto& self = static_cast<Subscriptions&>(method.getServerContext());
    const rcAttrStream stream(args[0].stringValue());
    stream.getIntValue("Port", self.monitorPort);
    stream.getIntValue("Connection", self.connection);
    return true;
  }
};

class Counter : public KestrixNodeEvent::Handler {
 public:
  void handleEvent(const KestrixNodeEvent& event) override {
    if (event.getNodeId() == KestrixNodeId("bench:node")) ++calls;
  }
  std::atomic<uint64_t> calls{0};
};

int monitor() {
  KestrixClient client;
  if (!client.init()) {
    std::fprintf(stderr, "events_bench: the client library did not start\n");
    return 2;
  }
  Subscriptions server;
  if (!server.isValid()) {
    std::fprintf(stderr, "events_bench: cannot listen: %s\n", server.lastError().c_str());
    return 2;
  }
  // The context has no lock: its loop runs only once the methods are in.
  std::thread loop([&server] { server.run(); });
  Counter counter;
  int status = 0;
  {
    KestrixServerHandle handle{
        KestrixServerId(("127.0.0.1:" + std::to_string(server.getPort())).c_str())};
    if (!handle.registerEventHandler("bench:node", &counter)) {
      std::fprintf(stderr, "events_bench: registering failed: %s\n", handle.lastError());
      status = 2;
    } else {
      // The request has been answered, so the loop thread wrote both.
      std::printf("monitor: %d %d\n", server.monitorPort, server.connection);
      std::fflush(stdout);
      char buffer[256];
      while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
      }
      std::printf("delivered: %llu\n", static_cast<unsigned long long>(counter.calls.load()));
      handle.unregisterEventHandler("bench:node", &counter);
    }
  }
  server.cancel();
  loop.join();
  return status;
}

int send(int port, int connection, int seconds) {
  Kestrix::rcAPI api;
  if (!api.connect("127.0.0.1", port, CALL_TIMEOUT_MS)) {
    std::fprintf(stderr, "events_bench: monitor: %s\n", api.lastError().c_str());
    return 2;
  }
  // What kestrixd sends for a rules reload.
  rcAttrStream details;
  details.addStringValue("File", "/etc/kestrix/rules.conf");
  details.addIntValue("Groups", 3);
  details.addIntValue("HostRules", 12);
  details.addIntValue("OsRules", 4);
  rcAttrStream event;
  event.addStringValue("NodeId", "bench:node");
  event.addStringValue("Type", "Modified");
  event.addStringValue("Details", details.getStreamStr());
  const std::string params =
      Kestrix::rcParamStringToEscapedString(event.getStream()).getEscapedString();

  uint64_t calls = 0, failures = 0;
  std::string reply, lastError;
  const Clock::time_point begin = Clock::now();
  const Clock::time_point end = begin + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    if (api.call(connection, "NodeEvent", params.c_str(), true, reply, CALL_TIMEOUT_MS)) {
      ++calls;
      continue;
    }
    ++failures;
    lastError = reply;
    if (!api.isConnected(false)) break;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  std::printf("events: %.1f calls/s (%llu in %.2f s, %llu failed)\nsent: %llu\n",
              static_cast<double>(calls) / elapsed, static_cast<unsigned long long>(calls), elapsed,
              static_cast<unsigned long long>(failures), static_cast<unsigned long long>(calls));
  if (failures != 0) {
    std::fprintf(stderr, "events_bench: last failure: %s\n", lastError.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  long a = 0, b = 0, c = 0, d = 0;
  if (argc == 7 && std::strcmp(argv[1], "latency") == 0) {
    if (!parsePositive(argv[3], 1L << 22, a) || !parsePositive(argv[5], 100000, b) ||
        !parsePositive(argv[6], 65535, c))
      return usage();
    return latency(argv[2], static_cast<pid_t>(a), argv[4], b, static_cast<int>(c));
  }
  if (argc == 2 && std::strcmp(argv[1], "monitor") == 0) return monitor();
  if (argc == 5 && std::strcmp(argv[1], "send") == 0) {
    if (!parsePositive(argv[2], 65535, b) || !parsePositive(argv[3], 1L << 30, c) ||
        !parsePositive(argv[4], 3600, d))
      return usage();
    return send(static_cast<int>(b), static_cast<int>(c), static_cast<int>(d));
  }
  return usage();
}
