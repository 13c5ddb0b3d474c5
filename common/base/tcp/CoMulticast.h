#pragma once
// A UDP socket on a multicast group (the "scope": an IPv4 or IPv6 group
// address or a name that resolves to one), a port and, optionally, the
// address of the local interface to use. A public socket binds the group
// port, shared with every other listener on this host, and hears every
// announcement; a private socket binds the first free port from 49152
// upwards, so answers sent to it reach this process alone.
//
// Every failure throws a CoException whose what() is the system's text for
// the socket error and whose expert text says which step failed. A
// connection reset on receive is not a failure: it gives 0 bytes. One
// object is used by one thread at a time. Setting QV_TCP_IPV6 (any value,
// read once) makes a scope or host with a colon resolve to IPv6 only.

#include <cstdint>
#include <memory>
#include <string>

struct sockaddr_storage;

namespace Kestrix {

class CoMulticast {
 public:
  // First port tried by a private bind.
  static constexpr unsigned int FIRST_PRIVATE_PORT = 49152;

  // Null scope or interface count as "". Throws when the scope is empty or
  // the socket cannot be made; a scope that does not resolve is taken as an
  // address literal.
  CoMulticast(unsigned int port, const char* scope, const char* interface);
  ~CoMulticast();
  CoMulticast(const CoMulticast&) = delete;
  CoMulticast& operator=(const CoMulticast&) = delete;

  void bind(bool privatePort);
  void join();
  void drop();
  // Joins or leaves the group on the named interface ("eth0"; a ":label"
  // is ignored), whatever its addresses. Being a member already, or not one,
  // is success: an interface with several addresses is joined once. False,
  // with the cause in the socket library's current error, on failure.
  bool joinOn(const std::string& interfaceName, bool join);

  void setTTL(int ttl) const;
  int getTTL() const;
  void setLoopback(bool on) const;
  bool willLoopback() const;

  // One datagram to host (null: the group) at port (0: the group port).
  // The exact host "localhost" means this host's own address.
  void send(const char* buf, uint64_t len, const char* host, unsigned int port);
  void send(const char* buf, uint64_t len, const sockaddr_storage& to);
  // One datagram; len is the capacity on entry and the size received on
  // return. The last argument has no effect.
  void receive(char* buf, uint64_t& len, sockaddr_storage& from, bool);

  // Numeric address text and host-order port; "" and 0 when the address
  // cannot be turned into text.
  static void addrToIPAndPort(const sockaddr_storage& addr, std::string& ip, unsigned int& port);

  const char* getScope() const { return scope_.c_str(); }
  const char* getInterface() const { return interface_.c_str(); }
  unsigned int getPort() const { return port_; }
  int getSocket() const { return socket_; }

 private:
  bool isIPv6() const;
  unsigned int interfaceIndex() const;
  // 0, or -1 with the cause in the socket library's current error.
  int changeMembership(bool add) const;

  std::string scope_;
  std::unique_ptr<sockaddr_storage> group_;
  std::string interface_;
  int socket_ = -1;
  unsigned int port_;
};

}  // namespace Kestrix
