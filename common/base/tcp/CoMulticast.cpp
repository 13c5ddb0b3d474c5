#include "common/base/tcp/CoMulticast.h"

#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/CoSocketApi.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace {

RegEnvView gRegPreferIPv6("QV_TCP_IPV6", "");

// Presence, read once.
bool preferIPv6() {
  static const bool prefer = std::getenv("QV_TCP_IPV6") != nullptr;
  return prefer;
}

int addrLength(const sockaddr_storage& addr) {
  return addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

const sockaddr* asSockaddr(const sockaddr_storage& addr) {
  return reinterpret_cast<const sockaddr*>(&addr);
}

sockaddr_in& asIPv4(sockaddr_storage& addr) {
  return reinterpret_cast<sockaddr_in&>(addr);
}

sockaddr_in6& asIPv6(sockaddr_storage& addr) {
  return reinterpret_cast<sockaddr_in6&>(addr);
}

// A text that is no IPv4 address becomes the all-ones address, as the
// classic parser gives: a send to it fails, where the zero address would
// reach this host.
in_addr parseIPv4(const char* text) {
  in_addr addr;
  if (::inet_pton(AF_INET, text, &addr) != 1) addr.s_addr = INADDR_NONE;
  return addr;
}

// Resolves a group or host text into out (port left 0). Texts with a colon
// may only be IPv6 when QV_TCP_IPV6 is set; texts without one are IPv4.
void resolve(const std::string& text, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  const bool colon = text.find(':') != std::string::npos;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = colon ? (preferIPv6() ? AF_INET6 : AF_UNSPEC) : AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &list) == 0 && list != nullptr) {
    std::memcpy(&out, list->ai_addr, list->ai_addrlen);
    ::freeaddrinfo(list);
    return;
  }
  if (colon) {
    out.ss_family = AF_INET6;
    ::inet_pton(AF_INET6, text.c_str(), &asIPv6(out).sin6_addr);
    return;
  }
  out.ss_family = AF_INET;
  asIPv4(out).sin_addr = parseIPv4(text.c_str());
}

void setPort(sockaddr_storage& addr, unsigned int port) {
  const uint16_t net = htons(static_cast<uint16_t>(port));
  if (addr.ss_family == AF_INET6)
    asIPv6(addr).sin6_port = net;
  else
    asIPv4(addr).sin_port = net;
}

}  // namespace

CoMulticast::CoMulticast(unsigned int port, const char* scope, const char* interface)
    : scope_(scope ? scope : ""), interface_(interface ? interface : ""), port_(port) {
  if (scope_.empty())
    CO_THROW(CoSocketError::text(CoSocketError::INVALID_ARGUMENT).c_str(), "Empty scope");
  group_.reset(new (std::nothrow) sockaddr_storage());
  if (!group_) CO_THROW("Out of memory.", "Cannot initialize socket address.");
  // Some systems need the socket library started even to resolve a name.
  CoIoTcpDescriptor::init();
  resolve(scope_, *group_);
  socket_ = CoSocketOps::open(group_->ss_family, SOCK_DGRAM, 0);
  if (socket_ < 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to create a datagram socket%s",
             isIPv6() ? " for IPv6" : " for IPv4");
}

CoMulticast::~CoMulticast() {
  if (socket_ >= 0) CoSocketOps::close(socket_);
}

bool CoMulticast::isIPv6() const {
  return group_->ss_family == AF_INET6;
}

void CoMulticast::bind(bool privatePort) {
  unsigned int port = privatePort ? FIRST_PRIVATE_PORT : port_;
  if (!privatePort && CoSocketOps::setOption(socket_, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set SO_REUSEADDR option");
  for (;;) {
    sockaddr_storage local;
    std::memset(&local, 0, sizeof local);
    local.ss_family = group_->ss_family;
    if (isIPv6())
      asIPv6(local).sin6_addr = in6addr_any;
    else if (interface_.empty())
      asIPv4(local).sin_addr.s_addr = htonl(INADDR_ANY);
    else
      asIPv4(local).sin_addr = parseIPv4(interface_.c_str());
    setPort(local, port);
    if (CoSocketOps::bind(socket_, local, addrLength(local)) == 0) break;
    if (privatePort && CoSocketError::last() == CoSocketError::ADDRESS_IN_USE && port < 65535) {
      ++port;
      continue;
    }
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to bind to %s%s%d", interface_.c_str(),
             interface_.empty() ? "port " : ",", static_cast<int>(port));
  }
  if (interface_.empty()) return;
  int result;
  if (isIPv6()) {
    result = CoSocketOps::setOption(socket_, IPPROTO_IPV6, IPV6_MULTICAST_IF,
                                    static_cast<int>(interfaceIndex()));
  } else {
    const in_addr addr = parseIPv4(interface_.c_str());
    result = CoSocketOps::setOption(socket_, IPPROTO_IP, IP_MULTICAST_IF, &addr, sizeof addr);
  }
  if (result != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set multicast i/f to %s",
             interface_.c_str());
}

int CoMulticast::changeMembership(bool add) const {
  if (isIPv6()) {
    ipv6_mreq request;
    request.ipv6mr_multiaddr = asIPv6(*group_).sin6_addr;
    request.ipv6mr_interface = interfaceIndex();
    return CoSocketOps::setOption(socket_, IPPROTO_IPV6,
                                  add ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &request,
                                  sizeof request);
  }
  ip_mreq request;
  request.imr_multiaddr = asIPv4(*group_).sin_addr;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  if (!interface_.empty()) request.imr_interface = parseIPv4(interface_.c_str());
  return CoSocketOps::setOption(socket_, IPPROTO_IP, add ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                                &request, sizeof request);
}

void CoMulticast::join() {
  if (changeMembership(true) == 0) return;
  const int code = CoSocketError::last();
  // No device means no route for the group: say where to look.
  CO_THROW(
      CoSocketError::text(code).c_str(), "Unable to join multicast group %s.%s", scope_.c_str(),
      code == CoSocketError::NO_DEVICE ? "  Check the default/multicast/gateway route entry" : "");
}

void CoMulticast::drop() {
  if (changeMembership(false) == 0) return;
  CO_THROW(CoSocketError::lastText().c_str(), "Unable to leave multicast group %s", scope_.c_str());
}

void CoMulticast::setTTL(int ttl) const {
  const int result =
      isIPv6() ? CoSocketOps::setOption(socket_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, ttl)
               : CoSocketOps::setMulticastOption(socket_, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
  if (result != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set the time-to-live to %u",
             static_cast<unsigned int>(ttl));
}

int CoMulticast::getTTL() const {
  int value = 0;
  const int result =
      isIPv6() ? CoSocketOps::getMulticastOption(socket_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, value)
               : CoSocketOps::getMulticastOption(socket_, IPPROTO_IP, IP_MULTICAST_TTL, value);
  if (result != 0) CO_THROW(CoSocketError::lastText().c_str(), "Unable to get the time-to-live");
  return value;
}

void CoMulticast::setLoopback(bool on) const {
  const int value = on ? 1 : 0;
  const int result =
      isIPv6() ? CoSocketOps::setOption(socket_, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, value)
               : CoSocketOps::setMulticastOption(socket_, IPPROTO_IP, IP_MULTICAST_LOOP, value);
  if (result != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set loopback to %u", on ? 1u : 0u);
}

bool CoMulticast::willLoopback() const {
  int value = 0;
  const int result =
      isIPv6() ? CoSocketOps::getMulticastOption(socket_, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, value)
               : CoSocketOps::getMulticastOption(socket_, IPPROTO_IP, IP_MULTICAST_LOOP, value);
  if (result != 0) CO_THROW(CoSocketError::lastText().c_str(), "Unable to get the loopback");
  return value != 0;
}

void CoMulticast::send(const char* buf, uint64_t len, const char* host, unsigned int port) {
  std::string destination = host ? host : scope_;
  if (destination == "localhost" && !CoIoTcpDescriptor::getLocalIP(destination))
    destination = "127.0.0.1";
  if (port == 0) port = port_;
  sockaddr_storage to;
  resolve(destination, to);
  setPort(to, port);
  if (CoSocketOps::sendTo(socket_, buf, len, to, addrLength(to)) >= 0) return;
  CO_THROW(CoSocketError::lastText().c_str(), "Unable to send %" PRId64 " bytes to %s:%u",
           static_cast<int64_t>(len), destination.c_str(), port);
}

void CoMulticast::send(const char* buf, uint64_t len, const sockaddr_storage& to) {
  if (CoSocketOps::sendTo(socket_, buf, len, to, addrLength(to)) >= 0) return;
  const int code = CoSocketError::last();
  std::string ip;
  unsigned int port = 0;
  addrToIPAndPort(to, ip, port);
  CO_THROW(CoSocketError::text(code).c_str(), "Unable to send %" PRId64 " bytes to %s:%u",
           static_cast<int64_t>(len), ip.c_str(), port);
}

void CoMulticast::receive(char* buf, uint64_t& len, sockaddr_storage& from, bool) {
  const long got = CoSocketOps::receiveFrom(socket_, buf, len, from);
  if (got >= 0) {
    len = static_cast<uint64_t>(got);
    return;
  }
  // An earlier datagram of ours met a closed port: that says nothing about
  // this socket, which goes on.
  if (CoSocketError::last() == CoSocketError::CONNECTION_RESET) {
    len = 0;
    return;
  }
  CO_THROW(CoSocketError::lastText().c_str(), "Unable to receive %" PRId64 " bytes",
           static_cast<int64_t>(len));
}

void CoMulticast::addrToIPAndPort(const sockaddr_storage& addr, std::string& ip,
                                  unsigned int& port) {
  char host[65];
  char service[NI_MAXSERV];
  if (::getnameinfo(asSockaddr(addr), addrLength(addr), host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    ip.clear();
    port = 0;
    return;
  }
  ip = host;
  port = static_cast<unsigned int>(std::strtoul(service, nullptr, 10));
}

}  // namespace Kestrix
