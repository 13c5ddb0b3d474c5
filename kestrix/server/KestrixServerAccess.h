#pragma once
// Who may use kestrixd, from the rules file's [Access] section:
//
//   Listen         addresses to listen on (default: every address, IPv4 and
//                  IPv6)
//   AllowFrom      networks whose hosts may connect or be heard by discovery:
//                  198.18.0.0/24, ::1/128, a bare address, or the word
//                  "local" (loopback and the networks of this host's
//                  interfaces as they are now); default "local"
//   SecretFile     a file holding a shared secret that every login must
//                  prove (rcLoginProof); it may not be readable by others
//                  than its owner and group
//   AllowShutdown  no (default), loopback, yes: who may call "Shutdown"
//
// A peer outside AllowFrom gets "Access denied" and is closed; its
// discovery datagrams are ignored.

#include <cstdint>
#include <string>
#include <vector>

namespace Kestrix {

class CoConfigFileReader;
class CoNetworkInterface;

// One IPv4 or IPv6 network: an address and a prefix length.
struct KestrixNetwork {
  int family = 0;  // AF_INET or AF_INET6
  unsigned char bytes[16] = {};
  unsigned prefix = 0;

  // "a.b.c.d/n", "x::y/n" or a bare address (a network of one host).
  static bool parse(const std::string& text, KestrixNetwork& network);
  // The network an interface address and its netmask span.
  static bool fromInterface(const std::string& ip, const std::string& netmask,
                            KestrixNetwork& network);
  bool contains(const std::string& address) const;
};

struct KestrixServerAccess {
  enum class Shutdown { NO, LOOPBACK, YES };

  std::vector<std::string> listen = {"0.0.0.0", "::"};
  bool listenDefault = true;  // IPv6 may be missing on the host: then IPv4 alone
  bool allowLocal = true;
  std::vector<KestrixNetwork> allowFrom;
  std::string secretFile;
  std::string secret;  // read from secretFile by load()
  Shutdown allowShutdown = Shutdown::NO;

  // Reads [Access] of a parsed rules file and the secret file it names;
  // false with error set when a key is unknown or a value bad.
  bool read(const CoConfigFileReader& file, std::string& error);
  // Whether a peer (numeric address) may connect; the interfaces are this
  // host's, for "local".
  bool allows(const std::string& address, const std::vector<CoNetworkInterface>& interfaces) const;
  static bool isLoopback(const std::string& address);
};

}  // namespace Kestrix
