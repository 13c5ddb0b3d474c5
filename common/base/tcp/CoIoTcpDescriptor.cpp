#include "common/base/tcp/CoIoTcpDescriptor.h"

#include <strings.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoTime.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketLibrary.h"

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

}  // namespace Kestrix
