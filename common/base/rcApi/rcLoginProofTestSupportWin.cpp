#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include "common/base/rcApi/rcLoginProofTestSupport.h"

namespace Kestrix {
namespace rcLoginProofTest {
namespace {

// Replaces the file's permissions with full access for its owner and, with
// everyone, read access for every user.
bool setReaders(const std::string& path, bool everyone) {
  EXPLICIT_ACCESSA access[2] = {};
  char owner[] = "CURRENT_USER";
  ::BuildExplicitAccessWithNameA(&access[0], owner, GENERIC_ALL, SET_ACCESS, NO_INHERITANCE);
  PSID world = nullptr;
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  if (everyone) {
    if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                    &world))
      return false;
    access[1].grfAccessPermissions = GENERIC_READ;
    access[1].grfAccessMode = SET_ACCESS;
    access[1].grfInheritance = NO_INHERITANCE;
    access[1].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access[1].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access[1].Trustee.ptstrName = static_cast<LPSTR>(world);
  }
  PACL acl = nullptr;
  bool ok = ::SetEntriesInAclA(everyone ? 2 : 1, access, nullptr, &acl) == ERROR_SUCCESS;
  if (ok) {
    ok = ::SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
    ::LocalFree(acl);
  }
  if (world != nullptr) ::FreeSid(world);
  return ok;
}

}  // namespace

SecretFile::SecretFile(const std::string& text) {
  char directory[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  if (::GetTempPathA(sizeof directory, directory) == 0 ||
      ::GetTempFileNameA(directory, "kxs", 0, path) == 0)
    return;
  path_ = path;
  const HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE ||
      !::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
    path_.clear();
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

SecretFile::~SecretFile() {
  if (!path_.empty()) ::DeleteFileA(path_.c_str());
}

bool SecretFile::makePrivate() {
  return setReaders(path_, false);
}

bool SecretFile::letOthersRead() {
  return setReaders(path_, true);
}

}  // namespace rcLoginProofTest
}  // namespace Kestrix
