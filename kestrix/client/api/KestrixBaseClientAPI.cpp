#include "kestrix/client/api/KestrixBaseClientAPI.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "common/base/osal/CoMemory.h"
#include "common/base/rcApi/rcAttrStream.h"

using Kestrix::rcAttrStream;

namespace {

// Splits text at ',' into its pieces, empty ones included.
template <typename Out>
void splitAtCommas(const std::string& text, Out out) {
  std::string copy = text;
  KestrixTokenizer tokenizer(copy.data(), ',');
  for (const char* piece = tokenizer.getNext(); piece != nullptr; piece = tokenizer.getNext())
    out(piece);
}

std::string stringValue(const rcAttrStream& stream, const char* name) {
  std::string value;
  stream.getStringValue(name, value);
  return value;
}

// The number of entries a list reply announces (0 when it says nothing).
// A count below 0 or above the number of entries the reply holds cannot be
// true: it throws rather than let a hostile server size the loop.
int countValue(const rcAttrStream& stream, const char* method, const char* name) {
  int n = 0;
  stream.getIntValue(name, n);
  const unsigned entries = rcAttrStream::ConstIterator(stream).getSize();
  if (n >= 0 && static_cast<unsigned>(n) <= entries) return n;
  throw std::runtime_error(std::string("Bad reply to ") + method + ": " + name + " " +
                           std::to_string(n) + " for a reply of " + std::to_string(entries) +
                           " entries");
}

}  // namespace

template <typename Parse>
bool KestrixBaseClientAPI::readReply(Parse parse) {
  try {
    parse();
    return true;
  } catch (const std::exception& e) {  // std::bad_alloc included
    setLastError(e.what());
    return false;
  }
}

bool KestrixBaseClientAPI::call(const char* method, const char* params, std::string& reply,
                                unsigned int waitMs) {
  try {
    if (connection_ == nullptr) throw std::runtime_error("No connection to the server");
    connection_->callMethod(method, params, true, reply, waitMs);
    return true;
  } catch (const std::exception& e) {  // the library's CoException included
    setLastError(e.what());
    return false;
  }
}

bool KestrixBaseClientAPI::translatePaths(const KestrixStrList& src, KestrixStrList& dst,
                                          const char* srcHost, const char* dstHost,
                                          KestrixOS::OsType srcType, KestrixOS::OsType dstType) {
  if (srcHost == nullptr || *srcHost == '\0') {
    setLastError("Invalid source host name given");
    return false;
  }
  if (dstHost == nullptr || *dstHost == '\0') {
    setLastError("Invalid destination host name given");
    return false;
  }
  char head[1024];
  std::snprintf(head, sizeof head, "\"%s\" %d \"%s\" %d ", srcHost, static_cast<int>(srcType),
                dstHost, static_cast<int>(dstType));
  std::string params = head;
  size_t length = params.size();
  for (unsigned i = 0; i < src.size(); ++i) length += std::strlen(src[i]) + 3;
  params.reserve(length);
  Kestrix::CoMemory::adviseLarge(params.data(), params.capacity());
  for (unsigned i = 0; i < src.size(); ++i) {
    if (i > 0) params += ',';
    params += '"';
    params += src[i];
    params += '"';
  }
  std::string reply;
  // Room for the answer up front: growing a string of many megabytes copies
  // it each time, and only the bytes written cost memory.
  if (params.size() > (1u << 20)) {
    reply.reserve(2 * params.size());
    Kestrix::CoMemory::adviseLarge(reply.data(), reply.capacity());
  }
  const bool ok = call("TranslatePaths", params.c_str(), reply);
  std::string().swap(params);  // a large request need not outlive its sending
  if (!ok) return false;
  return readReply([&] {
    dst.resize(0);
    // Exact room for every piece, counted first: a list grown piece by
    // piece would hold its old and new index at once, and a reply of short
    // pieces makes an index nearly as large as the reply.
    const size_t pieces =
        reply.empty() ? 0 : static_cast<size_t>(std::count(reply.begin(), reply.end(), ',')) + 1;
    dst.reserve(static_cast<int>(std::min<size_t>(std::max<size_t>(pieces, src.size()), INT_MAX)));
    dst.reserveText(reply.size() + 1);
    if (reply.empty()) return;
    // The reply is ours: split it in place rather than copy it first.
    KestrixTokenizer tokenizer(reply.data(), ',');
    for (const char* piece = tokenizer.getNext(); piece != nullptr; piece = tokenizer.getNext())
      dst.push_back(piece, tokenizer.lastLength());
  });
}

bool KestrixBaseClientAPI::getTranslationGroups(std::list<KestrixPathTranslationGroup>& groups) {
  groups.clear();
  std::string reply;
  if (!call("GetTranslationGroups", "", reply)) return false;
  return readReply([&] {
    const rcAttrStream stream(reply);
    const int n = countValue(stream, "GetTranslationGroups", "numGroups");
    for (int i = 0; i < n; ++i) {
      KestrixPathTranslationGroup group;
      int field = 0;
      splitAtCommas(stringValue(stream, std::to_string(i).c_str()), [&](const char* piece) {
        if (field == 0)
          group.groupName = piece;
        else if (field == 1)
          group.osType = std::atoi(piece);
        else
          group.hostNames.emplace_back(piece);
        ++field;
      });
      groups.push_back(group);
    }
  });
}

namespace {

// Reads a rule list reply: countKey, then entries "0", "1", ... each an
// attribute stream of four texts named by keys, into records of four texts.
template <typename Record>
void readRuleList(const std::string& reply, const char* method, const char* countKey,
                  const char* const (&keys)[4], std::list<Record>& out) {
  const rcAttrStream stream(reply);
  const int n = countValue(stream, method, countKey);
  for (int i = 0; i < n; ++i) {
    const rcAttrStream entry(stringValue(stream, std::to_string(i).c_str()));
    out.push_back({stringValue(entry, keys[0]), stringValue(entry, keys[1]),
                   stringValue(entry, keys[2]), stringValue(entry, keys[3])});
  }
}

}  // namespace

bool KestrixBaseClientAPI::getHostTranslations(std::list<KestrixHostTranslation>& translations) {
  translations.clear();
  std::string reply;
  if (!call("GetHostTranslations", "", reply)) return false;
  static const char* const kKeys[4] = {"srcHost", "srcPath", "dstHost", "dstPath"};
  return readReply([&] {
    readRuleList(reply, "GetHostTranslations", "numHostTranslations", kKeys, translations);
  });
}

bool KestrixBaseClientAPI::getOsTypeTranslations(
    std::list<KestrixOsTypeTranslation>& translations) {
  translations.clear();
  std::string reply;
  if (!call("GetOsTypeTranslations", "", reply)) return false;
  static const char* const kKeys[4] = {"srcType", "srcPath", "dstType", "dstPath"};
  return readReply([&] {
    readRuleList(reply, "GetOsTypeTranslations", "numOsTypeTranslations", kKeys, translations);
  });
}

bool KestrixBaseClientAPI::queryVersion(int& major, int& minor) {
  std::string reply;
  if (!call("QueryVersion", "", reply)) return false;
  std::sscanf(reply.c_str(), "%d %d", &major, &minor);
  return true;
}

bool KestrixBaseClientAPI::ping(unsigned int waitMs) {
  std::string reply;
  return call("Ping", "", reply, waitMs);
}

bool KestrixBaseClientAPI::shutdown() {
  std::string reply;
  return call("Shutdown", "", reply);
}

bool KestrixBaseClientAPI::getDaemonInfo(const KestrixDaemonInfo*& info) {
  try {
    if (connection_ == nullptr) throw std::runtime_error("No connection to the server");
    info = &connection_->getDaemonInfo(false);
    return true;
  } catch (const std::exception& e) {
    setLastError(e.what());
    return false;
  }
}

void KestrixBaseClientAPI::addConnectCallback(KestrixClientConnection::ConnectCallback* callback) {
  if (connection_ != nullptr) connection_->addConnectCallback(callback);
}

void KestrixBaseClientAPI::removeConnectCallback(
    KestrixClientConnection::ConnectCallback* callback) {
  if (connection_ != nullptr) connection_->removeConnectCallback(callback);
}

bool KestrixNodeClientAPI::getVersion(int& major, int& minor) {
  std::string reply;
  if (!call("QueryNodePlugInVersion", "", reply)) return false;
  std::sscanf(reply.c_str(), "%d %d", &major, &minor);
  return true;
}

bool KestrixNodeClientAPI::getProduct(KestrixStr& product) {
  std::string reply;
  if (!call("QueryNodePlugInProduct", "", reply)) return false;
  product = reply.c_str();
  return true;
}

bool KestrixNodeClientAPI::getVendor(KestrixStr& vendor) {
  std::string reply;
  if (!call("QueryNodePlugInVendor", "", reply)) return false;
  vendor = reply.c_str();
  return true;
}
