#include "common/base/tcp/CoIoTcpDescriptor.h"

#include <strings.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoTime.h"
#include "common/base/tcp/CoSocketApi.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketLibrary.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace {

std::atomic<int32_t> gInitCount{0};

constexpr int64_t LOCAL_IP_CACHE_SECONDS = 60;

// The local-IP cache. Its lock is not needed by single-threaded callers, but
// costs nothing and keeps concurrent callers from tearing the text.
struct LocalIpCache {
  std::mutex mutex;
  std::string ip;
  int64_t refreshed = 0;  // seconds since the epoch
};

LocalIpCache& localIpCache() {
  static LocalIpCache cache;
  return cache;
}

int64_t nowSeconds() {
  return static_cast<int64_t>(CoTime::getTime() / 1000000);
}

bool isDottedDecimal(const std::string& text) {
  for (const char c : text)
    if (c != '.' && !std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head) ::freeaddrinfo(head);
  }
};

// Name resolution needs a started socket library. The helpers that resolve
// may be called before anything connects, so the process takes one
// reference of its own for them the first time.
void startForResolver() {
  if (!CoSocketLibrary::NEEDED_TO_RESOLVE) return;
  static std::once_flag once;
  std::call_once(once, [] { CoIoTcpDescriptor::init(); });
}

std::string hexBytes(const void* data, size_t size) {
  std::string out;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  char cell[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, "%02x ", bytes[i]);
    out += cell;
  }
  return out;
}

// Numeric host text of a socket address; false with the resolver's code.
bool numericHost(const sockaddr* addr, size_t length, char* out, size_t size, int& code) {
  code = ::getnameinfo(addr, static_cast<socklen_t>(length), out, static_cast<socklen_t>(size),
                       nullptr, 0, NI_NUMERICHOST);
  return code == 0;
}

// The numeric address that query (the peer's or the socket's own) gives;
// errors are posted and leave ip unchanged.
void queryAddress(int fd, int (*query)(int, sockaddr_storage&, int&), std::string& ip) {
  sockaddr_storage addr;  // 128 bytes
  int length = 0;
  if (query(fd, addr, length) != 0) {
    CO_POST_ERROR("%s", CoSocketError::lastText().c_str());
    return;
  }
  char text[256];
  int code = 0;
  if (!numericHost(reinterpret_cast<sockaddr*>(&addr), static_cast<size_t>(length), text,
                   sizeof text, code)) {
    CO_POST_ERROR("%s", CoSocketError::resolverText(code).c_str());
    return;
  }
  ip = text;
}

// The current error says only "try again later".
bool wouldBlock() {
  const int code = CoSocketError::last();
  return code == CoSocketError::AGAIN || code == CoSocketError::WOULD_BLOCK ||
         code == CoSocketError::INTERRUPTED;
}

}  // namespace

CoIoTcpDescriptor::~CoIoTcpDescriptor() {
  close();
}

bool CoIoTcpDescriptor::tcpDebug() {
  // Read once: any value switches the diagnostics on.
  static const bool on = std::getenv("QV_TCP_DEBUG") != nullptr;
  return on;
}

std::string CoIoTcpDescriptor::getLastSocketErrorStr() {
  return CoSocketError::lastText();
}

void CoIoTcpDescriptor::init() {
  if (gInitCount.fetch_add(1) > 0) return;
  if (!CoSocketLibrary::start()) CO_THROW(getLastSocketErrorStr().c_str(), "WSAStartup failed");
}

void CoIoTcpDescriptor::uninit() {
  if (gInitCount.fetch_sub(1) - 1 > 0) return;
  if (!CoSocketLibrary::stop()) CO_THROW(getLastSocketErrorStr().c_str(), "WSACleanup failed");
}

void CoIoTcpDescriptor::cutHostName(std::string& name) {
  const std::string::size_type dot = name.find('.');
  if (dot == std::string::npos) return;
  if (name.compare(dot, 6, ".local") == 0) return;
  name.erase(dot);
}

void CoIoTcpDescriptor::makeDisplayableHostName(std::string& name) {
  const std::string::size_type dot = name.find('.');
  if (dot == std::string::npos || isDottedDecimal(name)) return;
  name.erase(dot);
}

const char* CoIoTcpDescriptor::skipIPv4InIPv6Prefix(const char* text) {
  if (text != nullptr && ::strncasecmp(text, "::ffff:", 7) == 0) return text + 7;
  return text;
}

void CoIoTcpDescriptor::resetCachedValues() {
  LocalIpCache& cache = localIpCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.ip.clear();
  cache.refreshed = 0;
}

std::string CoIoTcpDescriptor::getLocalIP() {
  LocalIpCache& cache = localIpCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  const int64_t now = nowSeconds();
  if (cache.refreshed != 0 && now - cache.refreshed < LOCAL_IP_CACHE_SECONDS) return cache.ip;
  const std::string hostName = getHostName();
  cache.ip = getIpAddrFromHostName(hostName.c_str());
  cache.refreshed = now;
  return cache.ip;
}

bool CoIoTcpDescriptor::getHostName(std::string& name) {
  try {
    name = getHostName();
    return true;
  } catch (const std::exception& e) {
    CO_POST_DEBUG("Could not get host name: %s", e.what());
    return false;
  }
}

bool CoIoTcpDescriptor::getLocalIP(std::string& ip) {
  try {
    ip = getLocalIP();
    return true;
  } catch (const std::exception& e) {
    CO_POST_DEBUG("Could not get host IP: %s", e.what());
    return false;
  }
}

bool CoIoTcpDescriptor::getIpAddrFromHostName(const char* host, std::string& ip) {
  try {
    ip = getIpAddrFromHostName(host);
    return true;
  } catch (const std::exception& e) {
    CO_POST_DEBUG("Could not resolve '%s': %s", host ? host : "(null)", e.what());
    return false;
  }
}

bool CoIoTcpDescriptor::getHostNameFromIpAddr(const char* ip, bool nameRequired,
                                              std::string& name) {
  try {
    name = getHostNameFromIpAddr(ip, nameRequired);
    return true;
  } catch (const std::exception& e) {
    CO_POST_DEBUG("Could not get host name of '%s': %s", ip ? ip : "(null)", e.what());
    return false;
  }
}

CoIoTcpDescriptor::CoIoTcpDescriptor(const char* remoteHost, int port, int sendBufSize,
                                     int rcvBufSize, int connectionTimeout) {
  QV_ASSERT(remoteHost);
  QV_ASSERT(port >= 0);
  QV_ASSERT(sendBufSize >= 0);
  QV_ASSERT(rcvBufSize >= 0);
  QV_ASSERT(connectionTimeout >= 0);
  init();
  if (remoteHost == nullptr) {
    setLastError(IO_HOST_NOT_FOUND);
    return;
  }
  connectTo(remoteHost, port, sendBufSize, rcvBufSize, connectionTimeout);
}

bool CoIoTcpDescriptor::connectTo(const char* remoteHost, int port, int sendBufSize, int rcvBufSize,
                                  int connectionTimeout) {
  char portText[16];
  std::snprintf(portText, sizeof portText, "%d", port);
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s, %s ).", remoteHost, portText);
  AddrInfoList list;
  if (::getaddrinfo(remoteHost, portText, &hints, &list.head) != 0) {
    setLastError(IO_HOST_NOT_FOUND);
    return false;
  }
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    setLastError(std::string());
    if (tcpDebug()) {
      CO_POST_DEBUG("Trying family %d with addr (len %d):", ai->ai_family,
                    static_cast<int>(ai->ai_addrlen));
      CO_POST_DEBUG("%s", hexBytes(ai->ai_addr, ai->ai_addrlen).c_str());
    }
    const int fd = CoSocketOps::open(ai->ai_family, SOCK_STREAM, 0);
    if (fd == -1) {
      setLastError(IO_SYSTEM_ERROR);
      continue;
    }
    setId(fd);
    setNoDelaySocketOption(true);
    if (sendBufSize > 0) setSendBufferSizeSocketOption(sendBufSize);
    if (rcvBufSize > 0) setReceiveBufferSizeSocketOption(rcvBufSize);
    if (!setNonBlocking(true)) {
      close();
      continue;
    }
    const int started =
        CoSocketOps::connectStart(fd, *ai->ai_addr, static_cast<int>(ai->ai_addrlen));
    if (started == 0) {
      CO_POST_DEBUG("Connected to %s:%d [fd:%d]", remoteHost, port, fd);
      return true;
    }
    if (started > 0) {
      const int ready = CoSocketOps::connectFinish(fd, connectionTimeout);
      if (ready == 0) {
        setLastError(IO_TIMED_OUT);
      } else if (ready < 0) {
        setLastError(IO_CONNECTION_REFUSED);
      } else {
        CO_POST_DEBUG("Connected to %s:%d [fd:%d]", remoteHost, port, fd);
        return true;
      }
    } else {
      setLastError(IO_SYSTEM_ERROR);
    }
    const std::string cause = lastError();
    close();
    setLastError(cause);
  }
  return false;
}

int CoIoTcpDescriptor::nonBlockingRead(void* buf, unsigned int size) {
  if (size == 0) return 0;
  QV_ASSERT(isValid());
  const long n = CoSocketOps::read(id(), buf, size);
  if (n < 0) {
    if (wouldBlock()) return 0;
    setLastError(IO_SYSTEM_ERROR);
    return -1;
  }
  if (n == 0) {
    setLastError(IO_CONNECTION_RESET);
    return -1;
  }
  return static_cast<int>(n);
}

int CoIoTcpDescriptor::nonBlockingWrite(const void* buf, unsigned int size) {
  QV_ASSERT(isValid());
  // A peer that has gone makes this fail; it never raises a signal.
  const long n = CoSocketOps::write(id(), buf, size);
  if (n < 0) {
    if (wouldBlock()) return 0;
    setLastError(IO_SYSTEM_ERROR);
    return -1;
  }
  return static_cast<int>(n);
}

void CoIoTcpDescriptor::getPeerIP(std::string& ip) const {
  queryAddress(id(), CoSocketOps::peerAddress, ip);
}

void CoIoTcpDescriptor::getSocketIP(std::string& ip) const {
  queryAddress(id(), CoSocketOps::localAddress, ip);
}

bool CoIoTcpDescriptor::setNonBlocking(bool on) {
  if (CoSocketOps::setNonBlocking(id(), on) == 0) return true;
  CO_POST_DEBUG("Couldn't set socket as nonblocking: %s", setLastError(IO_SYSTEM_ERROR));
  return false;
}

void CoIoTcpDescriptor::setNoDelaySocketOption(bool on) {
  if (CoSocketOps::setOption(id(), IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0) == 0) return;
  CO_POST_DEBUG("Unable to set socket option: %s", setLastError(IO_SYSTEM_ERROR));
}

void CoIoTcpDescriptor::setReuseAddressSocketOption(bool on) {
  if (CoSocketOps::setOption(id(), SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0) == 0) return;
  CO_POST_DEBUG("Can't set socket option: '%s'.", setLastError(IO_SYSTEM_ERROR));
}

std::string CoIoTcpDescriptor::getHostName() {
  init();
  char buffer[128];
  if (::gethostname(buffer, sizeof buffer) != 0)
    CO_THROW(getLastSocketErrorStr().c_str(), "gethostname");
  buffer[sizeof buffer - 1] = 0;
  std::string name = buffer;
  cutHostName(name);
  return name;
}

std::string CoIoTcpDescriptor::getIpAddrFromHostName(const char* host) {
  startForResolver();
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s ).", host ? host : "(null)");
  AddrInfoList list;
  const int code = ::getaddrinfo(host, nullptr, nullptr, &list.head);
  if (code != 0)
    CO_THROW(CoSocketError::resolverText(code).c_str(), "getaddrinfo( %s )", host ? host : "");
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    char text[65];
    int ntopCode = 0;
    if (ai->ai_family == AF_INET6) {
      if (!numericHost(ai->ai_addr, ai->ai_addrlen, text, sizeof text, ntopCode)) continue;
      if (std::strncmp(text, "fe80", 4) == 0 || std::strcmp(text, "::1") == 0) continue;
      return text;
    }
    if (ai->ai_family == AF_INET) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      if (in->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) continue;
      if (!numericHost(ai->ai_addr, ai->ai_addrlen, text, sizeof text, ntopCode)) continue;
      return text;
    }
  }
  CO_THROW(CoSocketError::hostNotFoundText().c_str(), "no usable address for %s", host ? host : "");
}

bool CoIoTcpDescriptor::getLoopbackAddrFromHostName(const char* host, std::string& ip) {
  if (host == nullptr) return false;
  startForResolver();
  AddrInfoList list;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  if (::getaddrinfo(host, nullptr, &hints, &list.head) != 0) return false;
  std::string first;
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      const in_addr& in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      if ((ntohl(in.s_addr) >> 24) != 127) return false;
    } else if (ai->ai_family == AF_INET6) {
      const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
      if (!IN6_IS_ADDR_LOOPBACK(&in6)) return false;
    } else {
      continue;
    }
    char text[INET6_ADDRSTRLEN];
    int code = 0;
    if (first.empty() && numericHost(ai->ai_addr, ai->ai_addrlen, text, sizeof text, code))
      first = text;
  }
  if (first.empty()) return false;
  ip = first;
  return true;
}

std::string CoIoTcpDescriptor::getHostNameFromIpAddr(const char* ip, bool nameRequired) {
  startForResolver();
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s ).", ip ? ip : "(null)");
  AddrInfoList list;
  if (::getaddrinfo(ip, nullptr, nullptr, &list.head) != 0) return std::string();
  const int flags = NI_NOFQDN | (nameRequired ? NI_NAMEREQD : 0);
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    char host[NI_MAXHOST];
    const socklen_t length = static_cast<socklen_t>(ai->ai_addrlen);
    if (::getnameinfo(ai->ai_addr, length, host, sizeof host, nullptr, 0, flags) == 0) return host;
    // A lookup that cannot reach a name server may fail outright on some
    // systems; without a required name the address itself is the answer, as
    // where the lookup falls back by itself.
    if (!nameRequired &&
        ::getnameinfo(ai->ai_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
      return host;
  }
  CO_THROW(CoSocketError::hostNotFoundText().c_str(), "no host name for %s", ip ? ip : "");
}

CoIoTcpDescriptor::AddressType CoIoTcpDescriptor::getAddrType(const char* text) {
  if (text == nullptr || *text == 0) return ADDR_INVALID;
  startForResolver();
  unsigned char addr[sizeof(in6_addr)];
  if (::inet_pton(AF_INET, text, addr) == 1) return ADDR_IPV4;
  if (::inet_pton(AF_INET6, text, addr) == 1) return ADDR_IPV6;
  if (std::strlen(text) < 256) return ADDR_HOSTNAME;
  CO_POST_WARNING("Invalid host name or address: '%s'", text);
  return ADDR_INVALID;
}

}  // namespace Kestrix
