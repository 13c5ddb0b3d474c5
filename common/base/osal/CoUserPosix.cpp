#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "common/base/osal/CoUser.h"

namespace Kestrix {
namespace {

bool userName(uid_t uid, std::string& name) {
  std::vector<char> buffer(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return false;
  name = found->pw_name;
  return true;
}

}  // namespace

bool CoUser::getEffectiveUser(std::string& name) { return userName(::geteuid(), name); }
bool CoUser::getRealUser(std::string& name) { return userName(::getuid(), name); }

bool CoUser::getPassword(std::string& password) {
  password = "Unknown";
  return true;
}

bool CoUser::getGroup(std::string& name) {
  std::vector<char> buffer(16384);
  struct group gr;
  struct group* found = nullptr;
  if (::getgrgid_r(::getegid(), &gr, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return false;
  name = found->gr_name;
  return true;
}

}  // namespace Kestrix
