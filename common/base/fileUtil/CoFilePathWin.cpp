// The file-system side of CoFilePath on Windows: the C run-time's wide
// functions, since the path is UTF-8 and the narrow ones read the ANSI code
// page. Only the user's read and write modes mean anything here.

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/base/fileUtil/CoFilePath.h"
#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"
#include "common/base/fileUtil/CoSysErrorWin.h"
#include "common/base/fileUtil/CoWideText.h"
#include "common/base/loggerBase/CoException.h"

namespace Kestrix {
namespace {

constexpr DWORD kMaxCwd = 1024;

int toMode(const CoFilePath::Permissions& p) {
  return ((p.userMode() & 1) ? _S_IREAD : 0) | ((p.userMode() & 2) ? _S_IWRITE : 0);
}

}  // namespace

CoFilePath::Type CoFilePath::getType() const {
  if (type_ != TYPE_UNKNOWN) return type_;
  const DWORD attributes = ::GetFileAttributesW(coWideText(path()).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return TYPE_UNKNOWN;
  type_ = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? TYPE_DIRECTORY : TYPE_FILE;
  return type_;
}

bool CoFilePath::access(int mode) const {
  // The run-time knows no execute check: 4 asks for read, 2 for write.
  const int how = ((mode & 1) ? 4 : 0) | ((mode & 2) ? 2 : 0);
  if (::_waccess(coWideText(path()).c_str(), how) == 0) return true;
  if (errno == ENOENT || errno == EACCES) return false;
  CO_THROW_ERRNO(nullptr);
}

bool coStatFile(const char* path, int64_t& size, int64_t& modified) {
  struct _stat64 st;
  if (::_wstat64(coWideText(path).c_str(), &st) != 0) return false;
  size = static_cast<int64_t>(st.st_size);
  modified = static_cast<int64_t>(st.st_mtime);
  return true;
}

// No TMPDIR and no fixed place: a Windows process without TMP and TEMP has
// no temporary directory to offer.
CoFilePath CoFilePath::tempDir() {
  for (const char* name : {"TMP", "TEMP"}) {
    const char* value = std::getenv(name);
    if (value && value[0]) return CoFilePath(value);
  }
  return CoFilePath();
}

CoFilePath& CoFilePath::currentWorkingDir() {
  wchar_t buffer[kMaxCwd + 1];
  const DWORD n = ::GetCurrentDirectoryW(kMaxCwd + 1, buffer);
  if (n == 0) CO_THROW_LAST_ERROR(nullptr);
  if (n > kMaxCwd) CO_THROW(coSysErrorText(ERANGE).c_str(), nullptr);
  setPath(coUtf8Text(buffer));
  return *this;
}

void CoFilePath::createDir(const Permissions& permissions, int options) {
  if (options & CREATE_DIR_PARENTS) {
    CoFilePath parent(directoryName());
    if (parent != *this && !parent.exists()) parent.createDir(permissions, options);
  }
  if (::_wmkdir(coWideText(path()).c_str()) != 0) {
    if (errno != EEXIST || !(options & CREATE_DIR_EXISTING_OK)) CO_THROW_ERRNO("_mkdir %s", path());
  }
  chmod(permissions);
  resetCaches();
}

void CoFilePath::createFile(const Permissions& permissions, bool truncate) {
  const int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (truncate ? _O_TRUNC : 0);
  const int fd = ::_wopen(coWideText(path()).c_str(), flags, toMode(permissions));
  if (fd < 0) CO_THROW_ERRNO(nullptr);
  if (::_close(fd) != 0) CO_THROW_ERRNO(nullptr);
  resetCaches();
}

void CoFilePath::chmod(const Permissions& permissions) {
  if (::_wchmod(coWideText(path()).c_str(), toMode(permissions)) != 0) CO_THROW_ERRNO(nullptr);
}

void CoFilePath::removeFile(int options) {
  if (::_wunlink(coWideText(path()).c_str()) == 0) {
    resetCaches();
    return;
  }
  if (errno == ENOENT && (options & REMOVE_FILE_MISSING_OK)) return;
  CO_THROW_ERRNO("unlink %s", path());
}

void CoFilePath::removeDir() {
  if (::_wrmdir(coWideText(path()).c_str()) != 0) CO_THROW_ERRNO(nullptr);
  resetCaches();
}

void CoFilePath::renameTo(const CoFilePath& target) {
  if (::_wrename(coWideText(path()).c_str(), coWideText(target.path()).c_str()) != 0)
    CO_THROW_ERRNO(nullptr);
  setPath(target.getPath());
}

}  // namespace Kestrix
