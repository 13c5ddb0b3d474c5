// Round-trip rate of the remote-call engine against the server context, in
// two processes so that neither end shares a loop or an allocator with the
// other:
//
//   rcPing_bench server
//     serves a context on a port the system chooses, prints that port as
//     the first line on standard output, and runs until SIGTERM or SIGINT
//     arrives or standard input closes.
//   rcPing_bench client PORT CONNECTIONS SECONDS
//     CONNECTIONS threads, each with a connection of its own to 127.0.0.1,
//     make synchronous "_ping" calls for SECONDS and the total rate is
//     printed on a line starting with "rcPing:" (0 when not every
//     connection could log in: a server that leaves clients unserved has no
//     rate worth comparing).
//   rcPing_bench idle PORT CONNECTIONS
//     opens CONNECTIONS connections to 127.0.0.1:PORT that never send a
//     byte (any TCP server will do), prints "idle: CONNECTIONS" once they
//     are all open, and holds them until SIGTERM or SIGINT, or 10 minutes.
//
// Run it inside tools/netns-run; bench/rcPing.sh does everything in one go.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcServerContext.h"

namespace Kestrix {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a loaded machine never times out a ping, short enough
// that a dead server ends the run.
constexpr unsigned int CALL_TIMEOUT_MS = 5000;

int usage() {
  std::fprintf(stderr,
               "usage: rcPing_bench server\n"
               "       rcPing_bench client PORT CONNECTIONS SECONDS\n"
               "       rcPing_bench idle PORT CONNECTIONS\n");
  return 2;
}

bool parsePositive(const char* text, long max, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value > 0 && value <= max;
}

// SIGTERM, SIGINT and the end of standard input are watched by one thread
// through a signalfd, so the loop thread needs no handler of its own and
// the stop is an ordinary cancel() from another thread.
int serve() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Blocked before any thread starts, so every thread inherits the mask.
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return 1;
  const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signals < 0) {
    std::perror("rcPing server: signalfd");
    return 1;
  }

  rcServerContext server(0);
  if (!server.isValid()) {
    std::fprintf(stderr, "rcPing server: cannot listen: %s\n", server.lastError().c_str());
    ::close(signals);
    return 1;
  }
  std::printf("%d\n", server.getPort());
  std::fflush(stdout);

  // A pipe of our own ends the watcher when the loop stops for another
  // reason.
  int quit[2];
  if (::pipe2(quit, O_CLOEXEC) != 0) {
    ::close(signals);
    return 1;
  }
  std::thread watcher([&] {
    pollfd fds[3] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {quit[0], POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0 || fds[2].revents != 0) break;
      if (fds[1].revents == 0) continue;
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      break;  // end of input or an input we cannot read
    }
    server.cancel();
  });

  server.run();
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(quit[1], &byte, 1);
  watcher.join();
  ::close(quit[0]);
  ::close(quit[1]);
  ::close(signals);
  std::fprintf(stderr, "rcPing server: stopped with %d clients\n", server.getNbClients());
  return 0;
}

struct Worker {
  std::thread thread;
  uint64_t calls = 0;
  uint64_t failures = 0;
  std::string error;
};

int runClient(int port, int connections, int seconds) {
  std::vector<Worker> workers(static_cast<size_t>(connections));
  std::atomic<int> connected{0};
  std::atomic<int> refused{0};
  // 0 while connections log in, then GO or ABORT. Waiting threads sleep on
  // it: a thousand threads polling a flag would take the CPU from the server
  // they wait for.
  constexpr int GO = 1, ABORT = 2;
  std::atomic<int> start{0};
  Clock::time_point end;

  for (Worker& worker : workers) {
    worker.thread = std::thread([&, w = &worker] {
      rcAPI api;
      if (!api.connect("127.0.0.1", port, CALL_TIMEOUT_MS)) {
        w->error = api.lastError();
        ++refused;
        return;
      }
      ++connected;
      start.wait(0, std::memory_order_acquire);
      if (start.load() == ABORT) return;
      std::string result;
      // The clock is read once per call; a steady clock costs no system
      // call, so it does not weigh on the rate measured.
      while (Clock::now() < end) {
        if (api.call(0, "_ping", "", true, result, CALL_TIMEOUT_MS)) {
          ++w->calls;
          continue;
        }
        ++w->failures;
        w->error = result;
        if (!api.isConnected(false)) return;
      }
      api.disconnect();
    });
  }

  // Every connection logs in before the clock starts, so the rate counts
  // round trips only.
  const auto connectDeadline = Clock::now() + std::chrono::seconds(30);
  while (connected + refused < connections && Clock::now() < connectDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (connected != connections) {
    start.store(ABORT);
    start.notify_all();
    for (Worker& worker : workers) worker.thread.join();
    for (const Worker& worker : workers)
      if (!worker.error.empty()) {
        std::fprintf(stderr, "rcPing client: connect failed: %s\n", worker.error.c_str());
        break;
      }
    std::printf("rcPing: 0.0 round trips/s (connections %d, only %d logged in)\n", connections,
                connected.load());
    return 1;
  }

  const Clock::time_point begin = Clock::now();
  end = begin + std::chrono::seconds(seconds);
  start.store(GO, std::memory_order_release);
  start.notify_all();
  for (Worker& worker : workers) worker.thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();

  uint64_t calls = 0, failures = 0;
  std::string lastError;
  for (const Worker& worker : workers) {
    calls += worker.calls;
    failures += worker.failures;
    if (!worker.error.empty()) lastError = worker.error;
  }
  const double rate = static_cast<double>(calls) / elapsed;
  std::printf("rcPing: %.1f round trips/s (connections %d, %llu calls in %.2f s, %llu failed)\n",
              rate, connections, static_cast<unsigned long long>(calls), elapsed,
              static_cast<unsigned long long>(failures));
  if (failures != 0) {
    std::fprintf(stderr, "rcPing client: last failure: %s\n", lastError.c_str());
    return 1;
  }
  return 0;
}

// The connections stay open, unused, until a stop signal (default action)
// ends the process; sleeping in the main thread keeps the hold bounded.
int holdIdle(int port, int connections) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      std::fprintf(stderr, "rcPing idle: connection %d: %s\n", i + 1, std::strerror(errno));
      return 1;
    }
    fds.push_back(fd);
  }
  std::printf("idle: %d\n", connections);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::minutes(10));
  for (const int fd : fds) ::close(fd);
  return 0;
}

}  // namespace
}  // namespace Kestrix

int main(int argc, char** argv) {
  // A thousand connections, at both ends, need more than the usual 1024
  // descriptors.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (argc == 2 && std::strcmp(argv[1], "server") == 0) return Kestrix::serve();
  long port = 0, connections = 0, seconds = 0;
  if (argc == 4 && std::strcmp(argv[1], "idle") == 0) {
    if (!Kestrix::parsePositive(argv[2], 65535, port) ||
        !Kestrix::parsePositive(argv[3], 10000, connections))
      return Kestrix::usage();
    return Kestrix::holdIdle(static_cast<int>(port), static_cast<int>(connections));
  }
  if (argc != 5 || std::strcmp(argv[1], "client") != 0) return Kestrix::usage();
  if (!Kestrix::parsePositive(argv[2], 65535, port) ||
      !Kestrix::parsePositive(argv[3], 1000, connections) ||
      !Kestrix::parsePositive(argv[4], 3600, seconds))
    return Kestrix::usage();
  return Kestrix::runClient(static_cast<int>(port), static_cast<int>(connections),
                            static_cast<int>(seconds));
}
