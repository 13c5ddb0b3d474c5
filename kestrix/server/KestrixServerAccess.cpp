#include "kestrix/server/KestrixServerAccess.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/network/CoNetworkInterface.h"
#include "common/base/osal/StringUtil.h"
#include "common/base/rcApi/rcLoginProof.h"

namespace Kestrix {
namespace {

// A peer's address text: IPv4-mapped IPv6 as IPv4, a scope id dropped.
bool parseAddress(std::string text, int& family, unsigned char bytes[16]) {
  const size_t scope = text.find('%');
  if (scope != std::string::npos) text.resize(scope);
  if (text.rfind("::ffff:", 0) == 0 && text.find('.') != std::string::npos) text.erase(0, 7);
  if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) {
    family = AF_INET;
    return true;
  }
  if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
    family = AF_INET6;
    return true;
  }
  return false;
}

unsigned maxPrefix(int family) {
  return family == AF_INET ? 32 : 128;
}

}  // namespace

bool KestrixNetwork::parse(const std::string& text, KestrixNetwork& network) {
  KestrixNetwork parsed;
  const size_t slash = text.find('/');
  if (!parseAddress(text.substr(0, slash), parsed.family, parsed.bytes)) return false;
  parsed.prefix = maxPrefix(parsed.family);
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    parsed.prefix = static_cast<unsigned>(std::atoi(digits.c_str()));
    if (parsed.prefix > maxPrefix(parsed.family)) return false;
  }
  network = parsed;
  return true;
}

bool KestrixNetwork::fromInterface(const std::string& ip, const std::string& netmask,
                                   KestrixNetwork& network) {
  KestrixNetwork parsed;
  if (!parseAddress(ip, parsed.family, parsed.bytes)) return false;
  int maskFamily = 0;
  unsigned char mask[16] = {};
  parsed.prefix = maxPrefix(parsed.family);
  if (parseAddress(netmask, maskFamily, mask) && maskFamily == parsed.family) {
    unsigned bits = 0;
    for (unsigned i = 0; i < maxPrefix(parsed.family) / 8; ++i)
      for (int b = 7; b >= 0 && (mask[i] >> b & 1); --b) ++bits;
    parsed.prefix = bits;
  }
  network = parsed;
  return true;
}

bool KestrixNetwork::contains(const std::string& address) const {
  int peerFamily = 0;
  unsigned char peer[16] = {};
  if (!parseAddress(address, peerFamily, peer) || peerFamily != family) return false;
  const unsigned whole = prefix / 8;
  if (std::memcmp(peer, bytes, whole) != 0) return false;
  const unsigned rest = prefix % 8;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (peer[whole] & mask) == (bytes[whole] & mask);
}

bool KestrixServerAccess::isLoopback(const std::string& address) {
  int family = 0;
  unsigned char bytes[16] = {};
  if (!parseAddress(address, family, bytes)) return false;
  if (family == AF_INET) return bytes[0] == 127;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(bytes, kLoopback6, 16) == 0;
}

bool KestrixServerAccess::allows(const std::string& address,
                                 const std::vector<CoNetworkInterface>& interfaces) const {
  for (const KestrixNetwork& network : allowFrom)
    if (network.contains(address)) return true;
  if (!allowLocal) return false;
  if (isLoopback(address)) return true;
  for (const CoNetworkInterface& itf : interfaces) {
    KestrixNetwork network;
    if (KestrixNetwork::fromInterface(itf.getIP(), itf.getNetmask(), network) &&
        network.contains(address))
      return true;
  }
  return false;
}

bool KestrixServerAccess::read(const CoConfigFileReader& file, std::string& error) {
  static const char* const kKeys[] = {"Listen", "AllowFrom", "SecretFile", "AllowShutdown"};
  for (const std::string& name : file.getVariableNames("Access")) {
    if (std::find(std::begin(kKeys), std::end(kKeys), name) != std::end(kKeys)) continue;
    error = "Section [Access]: unknown key '" + name +
            "' (expected Listen, AllowFrom, SecretFile or AllowShutdown)";
    return false;
  }
  KestrixServerAccess next;
  std::string text;
  if (file.get("Access", "Listen", text, "")) {
    next.listen.clear();
    next.listenDefault = false;
    for (const std::string& address : StringUtil::stringToTokenPath(text, ", \t")) {
      KestrixNetwork parsed;
      if (!KestrixNetwork::parse(address, parsed) || address.find('/') != std::string::npos) {
        error = "Section [Access]: 'Listen' takes addresses, not '" + address + "'";
        return false;
      }
      next.listen.push_back(address);
    }
    if (next.listen.empty()) {
      error = "Section [Access]: 'Listen' names no address";
      return false;
    }
  }
  if (file.get("Access", "AllowFrom", text, "")) {
    next.allowLocal = false;
    for (const std::string& entry : StringUtil::stringToTokenPath(text, ", \t")) {
      KestrixNetwork network;
      if (entry == "local") {
        next.allowLocal = true;
      } else if (KestrixNetwork::parse(entry, network)) {
        next.allowFrom.push_back(network);
      } else {
        error =
            "Section [Access]: 'AllowFrom' takes networks such as 198.18.0.0/24 or ::1/128 "
            "and the word local, not '" +
            entry + "'";
        return false;
      }
    }
    if (!next.allowLocal && next.allowFrom.empty()) {
      error = "Section [Access]: 'AllowFrom' names no network";
      return false;
    }
  }
  next.secretFile = StringUtil::trim(file.get("Access", "SecretFile", ""));
  if (!next.secretFile.empty() &&
      !rcLoginProof::readSecretFile(next.secretFile, true, next.secret, error)) {
    error = "Section [Access]: " + error;
    return false;
  }
  const std::string shutdown = StringUtil::trim(file.get("Access", "AllowShutdown", "no"));
  if (shutdown == "no") {
    next.allowShutdown = Shutdown::NO;
  } else if (shutdown == "loopback") {
    next.allowShutdown = Shutdown::LOOPBACK;
  } else if (shutdown == "yes") {
    next.allowShutdown = Shutdown::YES;
  } else {
    error = "Section [Access]: 'AllowShutdown' is no, loopback or yes, not '" + shutdown + "'";
    return false;
  }
  *this = next;
  return true;
}

}  // namespace Kestrix
