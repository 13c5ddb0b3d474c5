#pragma once
// What kestrixd reads from its rules file: the server's own settings and its
// translation rules, in the library's configuration file syntax:
//
//   [Server]                      DisplayName, HostName, Database, StorageId
//   [Group <name>]                OsType, Hosts (comma-separated)
//   [HostTranslation <name>]      srcHost, srcPath, dstHost, dstPath
//   [OsTypeTranslation <name>]    srcType, srcPath, dstType, dstPath
//   [Limits]                      MaxRequestBytes, MaxPendingOutputBytes,
//                                 MaxBufferedInputBytes, MaxClients,
//                                 StallTimeoutSeconds, MaxSearchesPerSecond,
//                                 MaxSearchesPerSourcePerSecond,
//                                 MaxSubscriptionsPerPeer
//   [Access]                      Listen, AllowFrom, SecretFile, AllowShutdown
//                                 (KestrixServerAccess.h)
//
// OS types are written by name (Irix, Linux, WindowsNT, MacOSX). A file that
// cannot be read, an unknown section, a rule missing a key or naming an
// unknown OS type, or a limit that is not a positive whole number makes the
// whole file bad: the server keeps what it had. A limit left out keeps the
// server context's default.

#include <functional>
#include <string>
#include <vector>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/rcApi/rcServerContext.h"
#include "kestrix/server/KestrixServerAccess.h"
#include "kestrix/server/KestrixTranslationRules.h"

namespace Kestrix {

struct KestrixServerConfig {
  std::string displayName;  // empty: the host name
  std::string hostName;     // the name of this server's host in the rules; empty: the system's
  std::string database = "GRYNN";
  std::string storageId;  // empty: one kept in the state directory (KestrixStorageId.h)
  KestrixTranslationRules rules;
  rcServerContext::Limits limits;
  KestrixServerAccess access;
  unsigned maxSearchesPerSecond = 100;          // discovery searches answered
  unsigned maxSearchesPerSourcePerSecond = 10;  // of those, from one sender
  unsigned maxSubscriptionsPerPeer = 256;       // event subscriptions of one client address

  // A fault of the rules file and the line it is on (0: the file as a whole).
  struct Problem {
    int line = 0;
    std::string message;
  };

  // Reads path; false with error set (and this object unchanged) when the
  // file is bad, or when it changed while it was read, twice in a row
  // (changing is then set: an editor may still be writing it). errorLine,
  // when given, gets the line of the error.
  bool load(const char* path, std::string& error, bool* changing = nullptr,
            int* errorLine = nullptr);

  // Every fault of path that load() would stop at, one per bad section (or
  // the one that makes the file unreadable); empty when load() would succeed.
  static std::vector<Problem> check(const char* path);

  // Runs read, which reads path, again when path's size, modification time
  // or inode differ after it from before it; false when they differed after
  // the second run too.
  static bool readStable(const char* path, const std::function<void()>& read);

 private:
  // Goes on past a bad section when all is set.
  static bool parse(const char* path, KestrixServerConfig& next, std::vector<Problem>& problems,
                    bool all, bool* changing);
  static bool parseSection(const CoConfigFileReader& file, const std::string& section,
                           KestrixServerConfig& next, std::string& error);
};

}  // namespace Kestrix
