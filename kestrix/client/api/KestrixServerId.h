#pragma once
// The client's name for one server: its host's address (name or IP text)
// with either a TCP port or a database name, plus an optional storage id.
// Users write it as one text, "host", "host:port" or "host:database"; only
// the last ':' splits, so IPv6 literals keep their inner colons.

#include "kestrix/client/api/KestrixTypes.h"

class KESTRIX_API KestrixServerId {
 public:
  KestrixServerId() = default;
  explicit KestrixServerId(const char* id);
  KestrixServerId(int port, const char* ipAddr);
  KestrixServerId(const char* db, const char* ipAddr, int port);
  KestrixServerId(const KestrixServerId& other) = default;
  KestrixServerId& operator=(const KestrixServerId& other) = default;
  virtual ~KestrixServerId() = default;

  void setId(const char* id);
  // The identity as one text, rebuilt from its parts when they changed.
  const char* getId() const;
  const char* getIPAddr() const { return ipAddr_.c_str(); }
  const char* getDB() const { return db_.c_str(); }
  const char* getStorageId() const { return storageId_.c_str(); }
  int getPort() const { return port_; }
  void setIPAddr(const char* ipAddr);
  void setDB(const char* db);
  void setPort(int port);
  void setStorageId(const char* storageId) { storageId_ = storageId; }
  bool isValid() const;
  bool operator==(const KestrixServerId& other) const;
  bool operator!=(const KestrixServerId& other) const { return !(*this == other); }

  static constexpr const char* DEFAULT_DB = "GRYNN";

 private:
  mutable KestrixStr id_;
  KestrixStr ipAddr_;
  KestrixStr db_;
  KestrixStr storageId_;
  int port_ = 0;
};
