// CoFileIO on Linux: opening and seeking, and how the preallocator finds the
// file system (statfs magic numbers) and reserves space (posix_fallocate on
// local file systems).

#include <fcntl.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "common/base/fileUtil/CoFileIO.h"
#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"

namespace Kestrix {
namespace {

// File-system magic numbers as statfs reports them (linux/magic.h).
constexpr uint32_t kXfsMagic = 0x58465342;
constexpr uint32_t kNfsMagic = 0x6969;
constexpr uint32_t kSmbMagic = 0x517B;
constexpr uint32_t kCifsMagic = 0xFF534D42;
constexpr uint32_t kSmb2Magic = 0xFE534D42;

using FileSystem = CoFileIO::Preallocator::FileSystem;

FileSystem fromStatfs(const struct statfs& st) {
  switch (static_cast<uint32_t>(st.f_type)) {
    case kXfsMagic:
      return CoFileIO::Preallocator::FS_XFS;
    case kNfsMagic:
      return CoFileIO::Preallocator::FS_NFS;
    case kSmbMagic:
    case kCifsMagic:
    case kSmb2Magic:
      return CoFileIO::Preallocator::FS_SMB;
    default:
      return CoFileIO::Preallocator::FS_GENERIC;
  }
}

bool preallocateNone(FILE*, uint64_t, uint64_t, std::string&) {
  return true;
}

bool preallocateFAllocate(FILE* stream, uint64_t offset, uint64_t size, std::string& error) {
  if (size == 0) return true;
  if (offset > static_cast<uint64_t>(INT64_MAX) || size > static_cast<uint64_t>(INT64_MAX)) {
    error = coSysErrorText(EFBIG);
    return false;
  }
  // Bytes still buffered in the stream go to the file before its blocks
  // are allocated underneath the stream.
  if (std::fflush(stream) != 0) {
    error = coSysErrorText(coLastErrno());
    return false;
  }
  const int err =
      ::posix_fallocate(fileno(stream), static_cast<off_t>(offset), static_cast<off_t>(size));
  if (err == 0) return true;
  error = coSysErrorText(err);
  return false;
}

}  // namespace

std::FILE* coOpenFile(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

std::filesystem::path coNativePath(const char* path) {
  return std::filesystem::path(path);
}

void CoFileIO::seek(uint64_t offset) {
  requireFile();
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(filePtr(), static_cast<off_t>(offset), SEEK_SET) != 0) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) errno = EINVAL;
    CO_THROW_ERRNO("Could not seek to %" PRIu64 " in \"%s\"", offset, path());
  }
}

CoFileIO::Preallocator::FileSystem CoFileIO::Preallocator::findFileSystem(const CoFilePath& path) {
  struct statfs st;
  if (::statfs(path.path(), &st) == 0) return fromStatfs(st);
  // A file about to be created lives on its directory's file system.
  const CoFilePath dir(path.directoryName());
  if (errno == ENOENT && dir != path && ::statfs(dir.path(), &st) == 0) return fromStatfs(st);
  return FS_UNKNOWN;
}

CoFileIO::Preallocator::FileSystem CoFileIO::Preallocator::findFileSystem(FILE* stream) {
  struct statfs st;
  if (stream == nullptr || ::fstatfs(fileno(stream), &st) != 0) return FS_UNKNOWN;
  return fromStatfs(st);
}

CoFileIO::Preallocator::PreallocateFunct CoFileIO::Preallocator::getPreallocateFunct(
    Method method, FileSystem fileSystem) {
  switch (method) {
    case METHOD_NONE:
      return preallocateNone;
    case METHOD_FALLOCATE:
      // Network file systems may answer by writing zeros over the wire.
      if (fileSystem == FS_GENERIC || fileSystem == FS_XFS) return preallocateFAllocate;
      return nullptr;
    default:
      return nullptr;
  }
}

}  // namespace Kestrix
