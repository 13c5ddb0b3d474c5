#include "kestrix/client/api/KestrixServerId.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/base/loggerBase/qvAssert.h"

KestrixServerId::KestrixServerId(const char* id) {
  if (id != nullptr && *id != '\0') setId(id);
}

KestrixServerId::KestrixServerId(int port, const char* ipAddr) : ipAddr_(ipAddr), port_(port) {
  if (port == 0) id_ = ipAddr_;
}

KestrixServerId::KestrixServerId(const char* db, const char* ipAddr, int port)
    : ipAddr_(ipAddr), db_(db), port_(port) {
  if (port == 0 && db_.isEmpty()) id_ = ipAddr_;
}

void KestrixServerId::setId(const char* id) {
  id_ = id;
  const char* colon = id ? std::strrchr(id, ':') : nullptr;
  if (colon == nullptr) {
    ipAddr_ = id;
    db_ = DEFAULT_DB;
    id_ += ':';
    id_ += DEFAULT_DB;
    port_ = 0;
    return;
  }
  ipAddr_ = KestrixStr(id, static_cast<unsigned int>(colon - id));
  db_ = colon + 1;
  port_ = std::atoi(db_.c_str());
  if (port_ != 0) db_.clear();  // the suffix was a port
}

const char* KestrixServerId::getId() const {
  if (!id_.isEmpty()) return id_.c_str();
  char buff[1024];
  const int len = db_.isEmpty()
                      ? std::snprintf(buff, sizeof buff, "%s%c%d", ipAddr_.c_str(), ':', port_)
                      : std::snprintf(buff, sizeof buff, "%s%c%s", ipAddr_.c_str(), ':', db_.c_str());
  QV_ASSERT(len < static_cast< int > ( sizeof( buff ) ));
  id_ = buff;
  return id_.c_str();
}

void KestrixServerId::setIPAddr(const char* ipAddr) {
  ipAddr_ = ipAddr;
  id_.clear();
}

void KestrixServerId::setDB(const char* db) {
  db_ = db;
  id_.clear();
}

void KestrixServerId::setPort(int port) {
  port_ = port;
  id_.clear();
}

bool KestrixServerId::isValid() const {
  return port_ != 0 || !id_.isEmpty() || !ipAddr_.isEmpty() || !db_.isEmpty() ||
         !storageId_.isEmpty();
}

bool KestrixServerId::operator==(const KestrixServerId& other) const {
  return port_ == other.port_ && ipAddr_ == other.ipAddr_ && storageId_ == other.storageId_ &&
         db_ == other.db_;
}
