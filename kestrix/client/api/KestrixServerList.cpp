#include "kestrix/client/api/KestrixServerList.h"

#include <cstdio>
#include <string>
#include <vector>

#include "kestrix/client/api/KestrixDaemonInfo.h"

namespace {
const char* const kNoDiscovery = "Server discovery is not available in this version of the library";
}

struct KestrixServerList::Imp {
  std::string lastError;
  std::string database;
  std::string gatewayIpAddr;
  unsigned gatewayPort = 0;
  std::vector<KestrixDaemonInfo> servers;

  bool noDiscovery() {
    lastError = kNoDiscovery;
    return false;
  }
};

KestrixServerList::KestrixServerList(const char* database, const char* gatewayIpAddr,
                                     int gatewayPort)
    : imp_(new Imp) {
  imp_->database = database != nullptr ? database : "";
  imp_->gatewayIpAddr = gatewayIpAddr != nullptr ? gatewayIpAddr : "";
  imp_->gatewayPort = static_cast<unsigned>(gatewayPort);
}

KestrixServerList::KestrixServerList(const KestrixServerList& other) : imp_(new Imp(*other.imp_)) {}

KestrixServerList& KestrixServerList::operator=(const KestrixServerList& other) {
  *imp_ = *other.imp_;
  return *this;
}

KestrixServerList::~KestrixServerList() = default;

const char* KestrixServerList::getGatewayIpAddr() const { return imp_->gatewayIpAddr.c_str(); }
unsigned KestrixServerList::getGatewayPort() const { return imp_->gatewayPort; }
const char* KestrixServerList::lastError() const { return imp_->lastError.c_str(); }

bool KestrixServerList::refresh() { return imp_->noDiscovery(); }
bool KestrixServerList::getNumNodes(int&) { return imp_->noDiscovery(); }

bool KestrixServerList::getNode(int i, KestrixServerInfo& info) {
  const int size = static_cast<int>(imp_->servers.size());
  if (i < 0 || i >= size) {
    char text[128];
    std::snprintf(text, sizeof text, "Index %d is out of the bounds 0,%d.", i, size);
    imp_->lastError = text;
    return false;
  }
  info = imp_->servers[static_cast<size_t>(i)];
  return true;
}

bool KestrixServerList::resolve(const KestrixServerId&, KestrixServerInfo&) {
  return imp_->noDiscovery();
}

bool KestrixServerList::resolveStorageId(const char*, KestrixServerId&) {
  return imp_->noDiscovery();
}
