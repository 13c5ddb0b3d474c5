#include "kestrix/client/api/KestrixServerList.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <list>
#include <string>
#include <vector>

#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixMulticastClient.h"

namespace {
const char* orNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}
}  // namespace

struct KestrixServerList::Imp {
  std::string lastError;
  std::string database;
  std::string gatewayIpAddr;
  unsigned gatewayPort = 0;
  std::vector<KestrixDaemonInfo> servers;

  // Runs one request to the discovery client; its failure becomes the last
  // error.
  template <typename Request>
  bool ask(Request request) {
    try {
      return request(KestrixMulticastClient::getInstance());
    } catch (const std::exception& e) {  // the library's CoException included
      lastError = e.what();
      return false;
    }
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

const char* KestrixServerList::getGatewayIpAddr() const {
  return imp_->gatewayIpAddr.c_str();
}
unsigned KestrixServerList::getGatewayPort() const {
  return imp_->gatewayPort;
}
const char* KestrixServerList::lastError() const {
  return imp_->lastError.c_str();
}

bool KestrixServerList::refresh() {
  return imp_->ask([](KestrixMulticastClient& discovery) {
    discovery.refresh(nullptr);
    return true;
  });
}

bool KestrixServerList::getNumNodes(int& n) {
  Imp& imp = *imp_;
  return imp.ask([&imp, &n](KestrixMulticastClient& discovery) {
    std::list<KestrixDaemonInfo> found;
    n = static_cast<int>(discovery.getServers(&found, orNull(imp.database),
                                              orNull(imp.gatewayIpAddr), imp.gatewayPort));
    imp.servers.assign(found.begin(), found.end());
    std::stable_sort(imp.servers.begin(), imp.servers.end());
    return true;
  });
}

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

bool KestrixServerList::resolve(const KestrixServerId& id, KestrixServerInfo& info) {
  Imp& imp = *imp_;
  return imp.ask([&imp, &id, &info](KestrixMulticastClient& discovery) {
    KestrixDaemonInfo found;
    discovery.fetchPendingList();
    if (!discovery.resolve(id, found)) {
      imp.lastError = std::string("Unable to resolve server '") + id.getId() + "'";
      return false;
    }
    info = found;
    return true;
  });
}

bool KestrixServerList::resolveStorageId(const char* storageId, KestrixServerId& id) {
  KestrixServerId wanted;
  wanted.setStorageId(storageId != nullptr ? storageId : "");
  KestrixServerInfo info;
  if (!resolve(wanted, info)) return false;
  id = info.getId();
  return true;
}
