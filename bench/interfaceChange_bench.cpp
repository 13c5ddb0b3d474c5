// What a change of interfaces looks like to a dispatcher's observer: for
// each of ROUNDS veth pairs added and then deleted with `ip`, the events that
// arrive (kind, event, interface, address) and the time from the `ip` command
// returning to the first and the last event of each change. Run it only in a
// network namespace of its own (bench/interfaceChange.sh does).
//
//   interfaceChange_bench [ROUNDS]

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkDispatcher.h"

using namespace Kestrix;
using Clock = std::chrono::steady_clock;

namespace {

struct Seen {
  Clock::time_point at;
  std::string text;
};

class Recorder : public CoNetworkDispatcher::Observer {
 public:
  explicit Recorder(const char* kind) : kind_(kind) {}
  void notify(CoNetworkDispatcher::Event event, const CoNetworkInterface& itf) override {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back({Clock::now(), std::string(kind_) + " " +
                                      (event == CoNetworkDispatcher::EVENT_ADDED ? "0 added  "
                                                                                  : "1 removed") +
                                      " " + itf.getName() + " " + itf.getIP()});
    changed.notify_all();
  }
  static std::mutex mutex;
  static std::condition_variable changed;
  static std::vector<Seen> seen;

 private:
  const char* kind_;
};
std::mutex Recorder::mutex;
std::condition_variable Recorder::changed;
std::vector<Seen> Recorder::seen;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Runs command, then waits until the events stop (300 ms without one, 5 s
// at most); returns the delays of the first and last event after the
// command returned, or -1 when none came.
std::pair<double, double> change(const std::string& command, bool print) {
  size_t before;
  {
    std::lock_guard<std::mutex> lock(Recorder::mutex);
    before = Recorder::seen.size();
  }
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(2);
  }
  const Clock::time_point done = Clock::now();
  std::unique_lock<std::mutex> lock(Recorder::mutex);
  Recorder::changed.wait_until(lock, done + std::chrono::seconds(5),
                               [&] { return Recorder::seen.size() > before; });
  size_t count = 0;
  while (Recorder::seen.size() != count) {
    count = Recorder::seen.size();
    Recorder::changed.wait_for(lock, std::chrono::milliseconds(300));
  }
  if (count == before) return {-1, -1};
  if (print)
    for (size_t i = before; i < count; ++i)
      std::printf("  +%6.1f ms  %s\n", ms(Recorder::seen[i].at - done),
                  Recorder::seen[i].text.c_str());
  return {ms(Recorder::seen[before].at - done), ms(Recorder::seen[count - 1].at - done)};
}

void summary(const char* what, std::vector<double> delays) {
  std::sort(delays.begin(), delays.end());
  std::printf("%-34s n=%zu  min %.1f  median %.1f  max %.1f ms\n", what, delays.size(),
              delays.front(), delays[delays.size() / 2], delays.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  CoNetwork::Guard network;
  CoNetworkDispatcher dispatcher(CoNetworkDispatcher::FLAG_MONITOR);
  Recorder all("all"), data("data");
  dispatcher.addObserver(CoNetworkDispatcher::TYPE_ALL, &all);
  dispatcher.addObserver(CoNetworkDispatcher::TYPE_DATA, &data);
  dispatcher.refresh(false);

  std::vector<double> addFirst, addLast, delFirst, delLast;
  for (int i = 0; i < rounds; ++i) {
    const bool print = i == 0;
    if (print) std::printf("add kxa (198.18.0.1/24) with its peer kxb, both up:\n");
    auto added = change(
        "ip link add kxa type veth peer name kxb && ip addr add 198.18.0.1/24 dev kxa && "
        "ip link set kxb up && ip link set kxa up",
        print);
    if (print) std::printf("delete kxa (and with it kxb):\n");
    auto deleted = change("ip link del kxa", print);
    if (added.first < 0 || deleted.first < 0) {
      std::printf("round %d: no event within 5 s\n", i);
      return 1;
    }
    addFirst.push_back(added.first);
    addLast.push_back(added.second);
    delFirst.push_back(deleted.first);
    delLast.push_back(deleted.second);
  }
  summary("add: first event after ip returned", addFirst);
  summary("add: last event", addLast);
  summary("delete: first event", delFirst);
  summary("delete: last event", delLast);
  dispatcher.removeObserver(CoNetworkDispatcher::TYPE_ALL, &all);
  dispatcher.removeObserver(CoNetworkDispatcher::TYPE_DATA, &data);
  return 0;
}
