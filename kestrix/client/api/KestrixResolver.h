#pragma once
// Gives a connection attempt the addresses of one kind that a server
// description lists, in the description's order, leaving out every address
// that recently failed. Failures are remembered process-wide in a bounded
// cache of addresses whose entries expire (KESTRIX_INACTIVE_IPS_CACHE_SIZE
// entries, default 256; KESTRIX_INACTIVE_IPS_CACHE_TIMEOUT_SEC seconds,
// default 600; both read at start-up). An address is usable again when its
// entry expires, at once when discovery reports any change of a server that
// lists it, and when a network interface is added.
//
// A resolver belongs to one connection attempt and one thread. Its list of
// a kind is made at the first question about that kind and then kept, so a
// flag set while walking it affects only resolvers made afterwards.
//
//   KestrixResolver resolver(info);
//   for (unsigned i = 0; *resolver.getIP(KestrixResolver::IP_METADATA, i); ++i) ...

#include <memory>

#include "kestrix/client/api/KestrixDaemonInfo.h"

class KestrixResolver {
 public:
  // Fixed underlying type: a caller may pass any other value, which gives "".
  enum Type : int { IP_METADATA = 0, IP_DATA = 1 };

  // info must outlive the resolver.
  explicit KestrixResolver(const KestrixDaemonInfo& info);
  KestrixResolver(const KestrixResolver&) = delete;
  KestrixResolver& operator=(const KestrixResolver&) = delete;
  ~KestrixResolver();

  // The index-th usable address of that kind, or "" when there are not that
  // many (always "" for an unknown kind).
  const char* getIP(Type type, unsigned int index) const;

  // Leaves ip out of the lists of resolvers made from now on.
  static void flagInaccesibleIP(const char* ip);

  // Library shut-down, once the discovery client is gone: the next use of
  // the cache registers with the discovery client made after it.
  static void discoveryStopped();

 private:
  struct Imp;
  std::unique_ptr<Imp> imp_;
};
