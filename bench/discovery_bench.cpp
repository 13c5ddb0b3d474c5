// Discovery with many servers, in two roles that bench/discovery.sh runs side
// by side inside tools/netns-run:
//
//   discovery_bench announce COUNT ROUNDS
//     multicasts COUNT "DISCOVER_SERVERS" datagrams to 224.0.0.1:7555, each
//     the description of a server of its own (storage id, display name),
//     ROUNDS times one second apart, so a listener that was not ready for the
//     first round still hears every server.
//   discovery_bench resolve COUNT SECONDS
//     starts the discovery client, prints "ready" once its start-up search
//     is over, waits up to SECONDS until it knows COUNT servers and for a
//     line on standard input (or its end), then times resolve() by storage
//     id of each of them and prints a line starting
//     with "resolve:" (average nanoseconds per lookup). Exit 1 when a server
//     stays unknown or a lookup fails.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"
#include "kestrix/client/api/KestrixServerId.h"

namespace {

using Clock = std::chrono::steady_clock;

// Lookups per server: enough passes that the clock's own cost vanishes.
constexpr int PASSES = 200;

int usage() {
  std::fprintf(stderr,
               "usage: discovery_bench announce COUNT ROUNDS\n"
               "       discovery_bench resolve COUNT SECONDS\n");
  return 2;
}

bool parsePositive(const char* text, long max, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value <= max;
}

// Storage ids are random UUIDs in the field: a fixed mix of the index gives
// ids as varied as those, and the same ones in both roles.
std::string storageId(long i) {
  uint64_t words[2];
  uint64_t x = static_cast<uint64_t>(i);
  for (uint64_t& word : words) {
    x += 0x9e3779b97f4a7c15ULL;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    word = z ^ (z >> 31);
  }
  char text[48];
  std::snprintf(
      text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(words[0] >> 32),
      static_cast<unsigned>(words[0] >> 16) & 0xffff, static_cast<unsigned>(words[0]) & 0xfff,
      0x8000 | (static_cast<unsigned>(words[1] >> 48) & 0x3fff),
      static_cast<unsigned long long>(words[1] & 0xffffffffffffULL));
  return text;
}

int announce(long count, long rounds) {
  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  std::vector<std::string> datagrams;
  for (long i = 0; i < count; ++i) {
    KestrixDaemonInfo info;
    char name[64];
    std::snprintf(name, sizeof name, "Bench server %04ld", i);
    info.setDisplayName(name);
    info.setStorageId(storageId(i).c_str());
    // Servers of other hosts, as a network of them would be: an address of
    // their own (unreachable here) and no claim on this host's name.
    std::snprintf(name, sizeof name, "%s-bench%04ld", host, i);
    info.setHostName(name);
    info.setDatabase("GRYNN");
    info.setNodePort(KestrixMulticastClient::DEFAULT_NODE_PORT);
    std::snprintf(name, sizeof name, "198.%ld.%ld.%ld", 18 + ((i >> 16) & 1), (i >> 8) & 255,
                  i & 255);
    info.setMetadataIP(0, name);
    datagrams.push_back(KestrixMulticastProtocol::create(KestrixMulticastProtocol::DISCOVER_SERVERS,
                                                         info.toAttrStream()));
    if (datagrams.back().size() > KestrixMulticastProtocol::MAX_DATAGRAM) {
      std::fprintf(stderr, "announce: description of %zu bytes\n", datagrams.back().size());
      return 1;
    }
  }

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("announce: socket");
    return 1;
  }
  const unsigned char ttl = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  // From this host's loopback address: without one the datagrams would
  // leave from 0.0.0.0, which kestrixd takes from nobody.
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(KestrixMulticastClient::DEFAULT_PORT);
  ::inet_pton(AF_INET, KestrixMulticastClient::DEFAULT_SCOPE(), &group.sin_addr);

  for (long round = 0; round < rounds; ++round) {
    if (round > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    for (size_t i = 0; i < datagrams.size(); ++i) {
      const std::string& d = datagrams[i];
      if (::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group) !=
          static_cast<ssize_t>(d.size())) {
        std::perror("announce: sendto");
        ::close(fd);
        return 1;
      }
      // Paced, so that a receiver's socket buffer never overflows: what a
      // thousand servers announcing on their own would look like, squeezed.
      if (i % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::printf("announced: round %ld, %zu servers\n", round + 1, datagrams.size());
    std::fflush(stdout);
  }
  ::close(fd);
  return 0;
}

int resolveAll(long count, long seconds) {
  KestrixClient client;
  if (!client.init()) {
    std::fprintf(stderr, "resolve: cannot start the client\n");
    return 1;
  }
  KestrixMulticastClient& discovery = KestrixMulticastClient::getInstance();
  std::printf("ready\n");
  std::fflush(stdout);

  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  unsigned known = 0;
  while ((known = discovery.getServers(nullptr, nullptr, nullptr, 0)) < count &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  // The lookups are timed once the announcer is done (a line or the end of
  // standard input), not while its later rounds keep the service thread busy.
  char line[16];
  [[maybe_unused]] const char* go = std::fgets(line, sizeof line, stdin);

  std::vector<KestrixServerId> ids(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) ids[static_cast<size_t>(i)].setStorageId(storageId(i).c_str());
  long resolved = 0;
  KestrixDaemonInfo info;
  for (const KestrixServerId& id : ids)
    if (discovery.resolve(id, info) && std::strcmp(info.getStorageId(), id.getStorageId()) == 0)
      ++resolved;

  const auto begin = Clock::now();
  long failed = 0;
  for (int pass = 0; pass < PASSES; ++pass)
    for (const KestrixServerId& id : ids)
      if (!discovery.resolve(id, info)) ++failed;
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count() /
                    (static_cast<double>(PASSES) * static_cast<double>(count));
  std::printf("resolve: %.1f ns per lookup (%u servers known, %ld of %ld resolved, %d passes)\n",
              ns, known, resolved, count, PASSES);
  return resolved == count && failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 0, other = 0;
  if (argc != 4 || !parsePositive(argv[2], 4000, count) || !parsePositive(argv[3], 600, other))
    return usage();
  if (std::strcmp(argv[1], "announce") == 0) return announce(count, other);
  if (std::strcmp(argv[1], "resolve") == 0) return resolveAll(count, other);
  return usage();
}
