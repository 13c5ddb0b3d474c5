#pragma once
// The public list of the servers that discovery knows, optionally kept to
// one database and asked through a gateway. getNumNodes() fills it (sorted
// by display name, then database) and getNode() reads it. Calls give false
// with the reason in lastError() and never throw.

#include <memory>

#include "kestrix/client/api/KestrixClientAPI.h"

class KestrixServerList {
 public:
  KestrixServerList(const char* database = nullptr, const char* gatewayIpAddr = nullptr,
                    int gatewayPort = 0);
  KestrixServerList(const KestrixServerList& other);
  KestrixServerList& operator=(const KestrixServerList& other);
  virtual ~KestrixServerList();

  const char* getGatewayIpAddr() const;
  unsigned getGatewayPort() const;
  const char* lastError() const;

  bool refresh();
  bool getNumNodes(int& n);
  bool getNode(int i, KestrixServerInfo& info);
  bool resolve(const KestrixServerId& id, KestrixServerInfo& info);
  bool resolveStorageId(const char* storageId, KestrixServerId& id);

 private:
  struct Imp;
  std::unique_ptr<Imp> imp_;
};
