#include "kestrix/client/api/KestrixOS.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/osal/CoUser.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"

namespace {

// Set before other threads read it; no lock.
std::string& userIdOverride() {
  static std::string value;
  return value;
}

}  // namespace

const char* KestrixOS::OsTypeStr(OsType type) {
  switch (type) {
    case OS_TYPE_IRIX:
      return OS_TYPE_IRIX_STR();
    case OS_TYPE_LINUX:
      return OS_TYPE_LINUX_STR();
    case OS_TYPE_WINNT:
      return OS_TYPE_WINNT_STR();
    case OS_TYPE_MACOSX:
      return OS_TYPE_MACOSX_STR();
    case OS_TYPE_UNKNOWN:
      break;
  }
  return OS_TYPE_UNKNOWN_STR();
}

KestrixOS::OsType KestrixOS::strToOsType(const char* text) {
  if (text == nullptr) return OS_TYPE_UNKNOWN;
  for (OsType type : {OS_TYPE_IRIX, OS_TYPE_LINUX, OS_TYPE_WINNT, OS_TYPE_MACOSX})
    if (strcasecmp(text, OsTypeStr(type)) == 0) return type;
  return OS_TYPE_UNKNOWN;
}

KestrixStr KestrixOS::getHostName() {
  std::string name;
  if (!Kestrix::CoNetworkLocal::getHostName(name)) return "unknown";
  return name.c_str();
}

KestrixStr KestrixOS::getUserId() {
  if (!userIdOverride().empty()) return userIdOverride().c_str();
  std::string name;
  if (!Kestrix::CoUser::getEffectiveUser(name)) return "unknown";
  return name.c_str();
}

void KestrixOS::setUserId(const char* userId) {
  userIdOverride() = userId ? userId : "";
}

KestrixStr KestrixOS::getGroupId() {
  std::string name;
  if (!Kestrix::CoUser::getGroup(name)) return "unknown";
  return name.c_str();
}

bool KestrixOS::isLoopBackIP(const char* ip) {
  if (ip == nullptr) return false;
  for (const char* loopback : {"localhost", "127.0.0.1", "::127.0.0.1", "::1"})
    if (std::strcmp(ip, loopback) == 0) return true;
  return strcasecmp(ip, "::ffff:127.0.0.1") == 0;
}

bool KestrixOS::isLocalIP(const char* ip) {
  if (ip == nullptr) return false;
  if (isLoopBackIP(ip)) return true;
  if (getHostName() == ip) return true;
  // Kept up to date by the interface watcher while networking is started.
  static Kestrix::CoNetworkDispatcher dispatcher(Kestrix::CoNetworkDispatcher::FLAG_MONITOR);
  std::vector<Kestrix::CoNetworkInterface> interfaces;
  if (!dispatcher.getInterfaces(interfaces, Kestrix::CoNetworkDispatcher::TYPE_ALL)) return false;
  const char* bare = Kestrix::CoIoTcpDescriptor::skipIPv4InIPv6Prefix(ip);
  for (const Kestrix::CoNetworkInterface& itf : interfaces) {
    // Scoped IPv6 addresses carry "%ifname"; compare the address alone.
    std::string address = itf.getIP().substr(0, itf.getIP().find('%'));
    if (std::strcmp(Kestrix::CoIoTcpDescriptor::skipIPv4InIPv6Prefix(address.c_str()), bare) == 0)
      return true;
  }
  return false;
}
