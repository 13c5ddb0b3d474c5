#pragma once
// The public list of discovered servers, optionally filtered by database and
// asked through a gateway. It is filled by the discovery client; until that
// client exists in this library, the calls that need it fail and say so.

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
