#pragma once
// The current user and group. The user and group names come from the
// system's databases; the other operations give the fixed answers the rest
// of the library expects (no user switching is done here).

#include <list>
#include <string>

namespace Kestrix {

class CoUser {
 public:
  static bool getEffectiveUser(std::string& name);
  static bool getRealUser(std::string& name);
  static bool getPassword(std::string& password);
  static bool getGroup(std::string& name);
  static bool getGroups(std::list<std::string>&) { return false; }
  static bool getGroupIDs(std::list<int>&) { return false; }
  static bool getUsers(std::list<std::string>&) { return false; }
  static bool getHomeDir(std::string&) { return false; }
  static bool pushUser(const char*) { return false; }
  static bool popUser() { return false; }
  static bool setUser(const char*) { return false; }
  static bool setGroup(const char*) { return false; }
  static bool getUserId(int&) { return false; }
  static bool getGroupId(int&) { return false; }
  static bool setUserId(int) { return false; }
  static bool setGroupId(int) { return false; }
  static int userNameToId(const char*) { return -1; }
  static int groupNameToId(const char*) { return -1; }
  static bool isValidGroupId(int id) { return id != -1; }
  static bool isValidUserId(int id) { return id != -1; }

  // Scope guards; pushing and popping identities does nothing here.
  class PushUserIdGuard {
   public:
    explicit PushUserIdGuard(int) {}
  };
  class PushGroupIdGuard {
   public:
    explicit PushGroupIdGuard(int) {}
  };
  class PushUserNameGuard {
   public:
    explicit PushUserNameGuard(const char*) {}
  };
};

}  // namespace Kestrix
