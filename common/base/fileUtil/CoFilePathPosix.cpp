// The file-system side of CoFilePath on POSIX systems.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/base/fileUtil/CoFilePath.h"
#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"
#include "common/base/loggerBase/CoException.h"

namespace Kestrix {
namespace {

constexpr size_t kMaxCwd = 1024;

// A mode field reads 1 read, 2 write, 4 execute: the reverse of the Unix
// bit order within each class.
mode_t fieldBits(int field) {
  return static_cast<mode_t>(((field & 1) ? 4 : 0) | (field & 2) | ((field & 4) ? 1 : 0));
}

mode_t toMode(const CoFilePath::Permissions& p) {
  return (fieldBits(p.userMode()) << 6) | (fieldBits(p.groupMode()) << 3) |
         fieldBits(p.otherMode());
}

// Where these modes come from a directory that may be read may also be
// entered; without the search bit even its owner could not create in it.
mode_t toDirMode(const CoFilePath::Permissions& p) {
  const mode_t mode = toMode(p);
  return mode | ((mode & 0444) >> 2);
}

}  // namespace

CoFilePath::Type CoFilePath::getType() const {
  if (type_ != TYPE_UNKNOWN) return type_;
  struct stat st;
  if (::stat(path(), &st) != 0) return TYPE_UNKNOWN;
  type_ = S_ISDIR(st.st_mode) ? TYPE_DIRECTORY : TYPE_FILE;
  return type_;
}

bool CoFilePath::access(int mode) const {
  int how = F_OK;
  if (mode & 1) how |= R_OK;
  if (mode & 2) how |= W_OK;
  if (::access(path(), how) == 0) return true;
  switch (errno) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EROFS:
      return false;
    default:
      CO_THROW_ERRNO(nullptr);
  }
}

bool coStatFile(const char* path, int64_t& size, int64_t& modified) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  size = static_cast<int64_t>(st.st_size);
  modified = static_cast<int64_t>(st.st_mtime);
  return true;
}

CoFilePath CoFilePath::tempDir() {
  for (const char* name : {"TMP", "TEMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value && value[0]) return CoFilePath(value);
  }
  return CoFilePath("/tmp");
}

CoFilePath& CoFilePath::currentWorkingDir() {
  char buffer[kMaxCwd + 1];
  if (::getcwd(buffer, sizeof buffer) == nullptr) CO_THROW_ERRNO(nullptr);
  setPath(buffer);
  return *this;
}

void CoFilePath::createDir(const Permissions& permissions, int options) {
  if (options & CREATE_DIR_PARENTS) {
    CoFilePath parent(directoryName());
    if (parent != *this && !parent.exists()) parent.createDir(permissions, options);
  }
  if (::mkdir(path(), toDirMode(permissions)) != 0) {
    if (errno != EEXIST || !(options & CREATE_DIR_EXISTING_OK)) CO_THROW_ERRNO("_mkdir %s", path());
  }
  chmod(permissions);
  resetCaches();
}

void CoFilePath::createFile(const Permissions& permissions, bool truncate) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  const int fd = ::open(path(), flags, toMode(permissions));
  if (fd < 0) CO_THROW_ERRNO(nullptr);
  if (::close(fd) != 0) CO_THROW_ERRNO(nullptr);
  resetCaches();
}

// All three classes count here: with only the user's read and write bits a
// directory could not even be entered on this system.
void CoFilePath::chmod(const Permissions& permissions) {
  struct stat st;
  const bool directory = ::stat(path(), &st) == 0 && S_ISDIR(st.st_mode);
  if (::chmod(path(), directory ? toDirMode(permissions) : toMode(permissions)) != 0)
    CO_THROW_ERRNO(nullptr);
}

void CoFilePath::removeFile(int options) {
  if (::unlink(path()) == 0) {
    resetCaches();
    return;
  }
  if (errno == ENOENT && (options & REMOVE_FILE_MISSING_OK)) return;
  CO_THROW_ERRNO("unlink %s", path());
}

void CoFilePath::removeDir() {
  if (::rmdir(path()) != 0) CO_THROW_ERRNO(nullptr);
  resetCaches();
}

void CoFilePath::renameTo(const CoFilePath& target) {
  if (::rename(path(), target.path()) != 0) CO_THROW_ERRNO(nullptr);
  setPath(target.getPath());
}

}  // namespace Kestrix
