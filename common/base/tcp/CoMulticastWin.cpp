#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/tcp/CoAdapterListWin.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/CoMulticast.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketHandleWin.h"

namespace Kestrix {
namespace {

using CoSocketHandle::toSocket;

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
  const u_short net = htons(static_cast<u_short>(port));
  if (addr.ss_family == AF_INET6)
    asIPv6(addr).sin6_port = net;
  else
    asIPv4(addr).sin_port = net;
}

// The options below take a DWORD here, as the system documents them.
int setDword(int fd, int level, int name, DWORD value) {
  return ::setsockopt(toSocket(fd), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value);
}

int getDword(int fd, int level, int name, DWORD& value) {
  value = 0;
  int length = sizeof value;
  return ::getsockopt(toSocket(fd), level, name, reinterpret_cast<char*>(&value), &length);
}

int sendLength(uint64_t len) {
  return len > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

}  // namespace

CoMulticast::CoMulticast(unsigned int port, const char* scope, const char* interface)
    : scope_(scope ? scope : ""), interface_(interface ? interface : ""), port_(port) {
  if (scope_.empty()) CO_THROW(CoSocketError::text(WSAEINVAL).c_str(), "Empty scope");
  group_.reset(new (std::nothrow) sockaddr_storage());
  if (!group_) CO_THROW("Out of memory.", "Cannot initialize socket address.");
  // Here even resolving a name needs the socket library started.
  CoIoTcpDescriptor::init();
  resolve(scope_, *group_);
  socket_ = CoSocketHandle::open(group_->ss_family, SOCK_DGRAM, 0);
  if (socket_ < 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to create a datagram socket%s",
             isIPv6() ? " for IPv6" : " for IPv4");
}

CoMulticast::~CoMulticast() {
  if (socket_ >= 0) ::closesocket(toSocket(socket_));
}

bool CoMulticast::isIPv6() const {
  return group_->ss_family == AF_INET6;
}

void CoMulticast::bind(bool privatePort) {
  unsigned int port = privatePort ? FIRST_PRIVATE_PORT : port_;
  if (!privatePort && setDword(socket_, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
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
    if (::bind(toSocket(socket_), asSockaddr(local), addrLength(local)) == 0) break;
    if (privatePort && CoSocketError::last() == WSAEADDRINUSE && port < 65535) {
      ++port;
      continue;
    }
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to bind to %s%s%d", interface_.c_str(),
             interface_.empty() ? "port " : ",", static_cast<int>(port));
  }
  if (interface_.empty()) return;
  int result;
  if (isIPv6()) {
    result = setDword(socket_, IPPROTO_IPV6, IPV6_MULTICAST_IF, interfaceIndex());
  } else {
    const in_addr addr = parseIPv4(interface_.c_str());
    result = ::setsockopt(toSocket(socket_), IPPROTO_IP, IP_MULTICAST_IF,
                          reinterpret_cast<const char*>(&addr), sizeof addr);
  }
  if (result != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set multicast i/f to %s",
             interface_.c_str());
}

// A global IPv6 address has no scope id, so the index is that of the
// adapter that holds the address.
unsigned int CoMulticast::interfaceIndex() const {
  if (interface_.empty()) return 0;
  std::vector<CoAdapterList::Adapter> adapters;
  unsigned long code = 0;
  if (!CoAdapterList::list(adapters, code))
    CO_THROW(CoSocketError::text(static_cast<int>(code)).c_str(),
             "Unable to acquire network interface list");
  in6_addr wanted;
  if (::inet_pton(AF_INET6, interface_.c_str(), &wanted) != 1) return 0;
  for (const CoAdapterList::Adapter& adapter : adapters) {
    for (const CoAdapterList::Address& address : adapter.addresses) {
      if (address.addr.ss_family != AF_INET6) continue;
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address.addr);
      if (std::memcmp(&in6.sin6_addr, &wanted, sizeof wanted) == 0) return adapter.ipv6Index;
    }
  }
  return 0;
}

int CoMulticast::changeMembership(bool add) const {
  if (isIPv6()) {
    ipv6_mreq request;
    request.ipv6mr_multiaddr = asIPv6(*group_).sin6_addr;
    request.ipv6mr_interface = interfaceIndex();
    return ::setsockopt(toSocket(socket_), IPPROTO_IPV6,
                        add ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                        reinterpret_cast<const char*>(&request), sizeof request);
  }
  ip_mreq request;
  request.imr_multiaddr = asIPv4(*group_).sin_addr;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  if (!interface_.empty()) request.imr_interface = parseIPv4(interface_.c_str());
  return ::setsockopt(toSocket(socket_), IPPROTO_IP, add ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                      reinterpret_cast<const char*>(&request), sizeof request);
}

void CoMulticast::join() {
  if (changeMembership(true) == 0) return;
  const int code = CoSocketError::last();
  // No device means no route for the group: say where to look.
  CO_THROW(CoSocketError::text(code).c_str(), "Unable to join multicast group %s.%s",
           scope_.c_str(),
           errno == ENODEV ? "  Check the default/multicast/gateway route entry" : "");
}

bool CoMulticast::joinOn(const std::string& interfaceName, bool join) {
  std::vector<CoAdapterList::Adapter> adapters;
  unsigned long code = 0;
  if (!CoAdapterList::list(adapters, code)) {
    ::WSASetLastError(static_cast<int>(code));
    return false;
  }
  const CoAdapterList::Adapter* adapter = CoAdapterList::find(adapters, interfaceName);
  if (adapter == nullptr) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  int result;
  if (isIPv6()) {
    ipv6_mreq request{};
    request.ipv6mr_multiaddr = asIPv6(*group_).sin6_addr;
    request.ipv6mr_interface = adapter->ipv6Index;
    result = ::setsockopt(toSocket(socket_), IPPROTO_IPV6,
                          join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                          reinterpret_cast<const char*>(&request), sizeof request);
  } else {
    // An IPv4 membership names its interface by one of its addresses.
    const sockaddr_in* own = nullptr;
    for (const CoAdapterList::Address& address : adapter->addresses)
      if (address.addr.ss_family == AF_INET && own == nullptr)
        own = reinterpret_cast<const sockaddr_in*>(&address.addr);
    if (own == nullptr) {
      ::WSASetLastError(WSAEADDRNOTAVAIL);
      return false;
    }
    ip_mreq request{};
    request.imr_multiaddr = asIPv4(*group_).sin_addr;
    request.imr_interface = own->sin_addr;
    result =
        ::setsockopt(toSocket(socket_), IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                     reinterpret_cast<const char*>(&request), sizeof request);
  }
  return result == 0 || CoSocketError::last() == (join ? WSAEADDRINUSE : WSAEADDRNOTAVAIL);
}

void CoMulticast::drop() {
  if (changeMembership(false) == 0) return;
  CO_THROW(CoSocketError::lastText().c_str(), "Unable to leave multicast group %s", scope_.c_str());
}

void CoMulticast::setTTL(int ttl) const {
  const int result = isIPv6() ? setDword(socket_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, ttl)
                              : setDword(socket_, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
  if (result != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set the time-to-live to %u",
             static_cast<unsigned int>(ttl));
}

int CoMulticast::getTTL() const {
  DWORD value = 0;
  const int result = isIPv6() ? getDword(socket_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, value)
                              : getDword(socket_, IPPROTO_IP, IP_MULTICAST_TTL, value);
  if (result != 0) CO_THROW(CoSocketError::lastText().c_str(), "Unable to get the time-to-live");
  return static_cast<int>(value);
}

void CoMulticast::setLoopback(bool on) const {
  const int result = isIPv6() ? setDword(socket_, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, on ? 1 : 0)
                              : setDword(socket_, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
  if (result != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to set loopback to %u", on ? 1u : 0u);
}

bool CoMulticast::willLoopback() const {
  DWORD value = 0;
  const int result = isIPv6() ? getDword(socket_, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, value)
                              : getDword(socket_, IPPROTO_IP, IP_MULTICAST_LOOP, value);
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
  if (::sendto(toSocket(socket_), buf, sendLength(len), 0, asSockaddr(to), addrLength(to)) !=
      SOCKET_ERROR)
    return;
  CO_THROW(CoSocketError::lastText().c_str(), "Unable to send %" PRId64 " bytes to %s:%u",
           static_cast<int64_t>(len), destination.c_str(), port);
}

void CoMulticast::send(const char* buf, uint64_t len, const sockaddr_storage& to) {
  if (::sendto(toSocket(socket_), buf, sendLength(len), 0, asSockaddr(to), addrLength(to)) !=
      SOCKET_ERROR)
    return;
  const int code = CoSocketError::last();
  std::string ip;
  unsigned int port = 0;
  addrToIPAndPort(to, ip, port);
  CO_THROW(CoSocketError::text(code).c_str(), "Unable to send %" PRId64 " bytes to %s:%u",
           static_cast<int64_t>(len), ip.c_str(), port);
}

void CoMulticast::receive(char* buf, uint64_t& len, sockaddr_storage& from, bool) {
  int fromLength = sizeof from;
  const int got = ::recvfrom(toSocket(socket_), buf, sendLength(len), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (got != SOCKET_ERROR) {
    len = static_cast<uint64_t>(got);
    return;
  }
  // Here a datagram longer than buf fails; elsewhere it arrives cut to
  // buf, which is what the callers expect of an oversized datagram.
  if (CoSocketError::last() == WSAEMSGSIZE) return;
  // An earlier datagram of ours met a closed port: that says nothing about
  // this socket, which goes on.
  if (CoSocketError::last() == WSAECONNRESET) {
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
