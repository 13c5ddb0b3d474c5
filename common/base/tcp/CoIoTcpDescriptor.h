#pragma once
// A TCP connection: the connecting constructor resolves a host name or an
// IPv4/IPv6 literal, tries every resolved address in order with a
// non-blocking connect under a time-out, and switches Nagle's algorithm off;
// a failed connection never throws but leaves an invalid descriptor whose
// lastError() names the cause. The socket stays non-blocking, and the
// descriptor's blocking loops wait around its reads and writes.
//
// Beside it stand static helpers about hosts and addresses. Each helper that
// throws a CoException has a bool form taking an output string, which posts
// the failure at debug level and returns false instead. Setting
// QV_TCP_DEBUG (any value) at start-up posts resolution and connect details.

#include <string>

#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {

class CoIoTcpDescriptor : public CoIoDescriptor {
 public:
  enum AddressType {
    ADDR_INVALID = 0,   // empty, missing or unusable text
    ADDR_IPV4 = 1,      // an IPv4 literal
    ADDR_IPV6 = 2,      // an IPv6 literal
    ADDR_HOSTNAME = 3,  // anything else shorter than 256 characters
  };

  // Buffer sizes of 0 keep the system's; connectionTimeout is in whole
  // seconds per resolved address (0: only a connection complete at once).
  CoIoTcpDescriptor(const char* remoteHost, int port, int sendBufSize, int rcvBufSize,
                    int connectionTimeout);
  // Wraps a connected socket, setting no option.
  explicit CoIoTcpDescriptor(int socket) : CoIoDescriptor(socket) {}
  CoIoTcpDescriptor(CoIoTcpDescriptor&&) noexcept = default;
  CoIoTcpDescriptor& operator=(CoIoTcpDescriptor&&) noexcept = default;
  ~CoIoTcpDescriptor() override;

  int nonBlockingWrite(const void* buf, unsigned int size) override;
  int nonBlockingRead(void* buf, unsigned int size) override;
  // The numeric address of the far (local) end; unchanged on failure.
  void getPeerIP(std::string& ip) const override;
  void getSocketIP(std::string& ip) const override;

  // Counted start and stop of the socket library; only the first start and
  // the last stop do work. Throw on failure.
  static void init();
  static void uninit();

  // The own host name, cut at its first dot unless that dot begins ".local".
  static std::string getHostName();
  static bool getHostName(std::string& name);
  // The numeric address of the own host name, looked up at most once a
  // minute.
  static std::string getLocalIP();
  static bool getLocalIP(std::string& ip);
  // The first address of host that is neither loopback nor link-local.
  static std::string getIpAddrFromHostName(const char* host);
  static bool getIpAddrFromHostName(const char* host, std::string& ip);
  // The first address of host when every address it has is a loopback one
  // (Linux hosts often map their own name to 127.0.0.1 or 127.0.1.1).
  static bool getLoopbackAddrFromHostName(const char* host, std::string& ip);
  // The host name (without domain) of an address; "" when the address text
  // cannot be resolved at all. With nameRequired, a numeric answer fails.
  static std::string getHostNameFromIpAddr(const char* ip, bool nameRequired);
  static bool getHostNameFromIpAddr(const char* ip, bool nameRequired, std::string& name);

  // The host-name cut of getHostName applied to a system host name.
  static void cutHostName(std::string& name);
  // A name reduced to its first label for display; IPv4 literals and names
  // without a dot stay as they are.
  static void makeDisplayableHostName(std::string& name);
  // The text behind a leading "::ffff:" (any case), else text itself.
  static const char* skipIPv4InIPv6Prefix(const char* text);
  static AddressType getAddrType(const char* text);
  // Forgets the cached local IP.
  static void resetCachedValues();

 protected:
  CoIoTcpDescriptor() = default;

  // Socket options for listening sockets; failures are posted at debug
  // level and leave the system's error as the last error.
  bool setNonBlocking(bool on);
  void setNoDelaySocketOption(bool on);
  void setReuseAddressSocketOption(bool on);

  static std::string getLastSocketErrorStr();
  static bool tcpDebug();

 private:
  bool connectTo(const char* remoteHost, int port, int sendBufSize, int rcvBufSize,
                 int connectionTimeout);
};

}  // namespace Kestrix
