// CoFileIO on Windows: streams opened by their UTF-16 names and sought with
// 64-bit offsets. The preallocator knows no file system here and reserves
// nothing: only the method None has a routine.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/base/fileUtil/CoFileIO.h"
#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"
#include "common/base/fileUtil/CoWideText.h"

namespace Kestrix {
namespace {

bool preallocateNone(FILE*, uint64_t, uint64_t, std::string&) {
  return true;
}

}  // namespace

std::FILE* coOpenFile(const char* path, const char* mode) {
  return ::_wfopen(coWideText(path).c_str(), coWideText(mode).c_str());
}

std::filesystem::path coNativePath(const char* path) {
  return std::filesystem::path(coWideText(path));
}

void CoFileIO::seek(uint64_t offset) {
  requireFile();
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      ::_fseeki64(filePtr(), static_cast<int64_t>(offset), SEEK_SET) != 0) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) errno = EINVAL;
    CO_THROW_ERRNO("Could not seek to %" PRIu64 " in \"%s\"", offset, path());
  }
  // This run-time's 64-bit seek leaves the end-of-file indicator set, which
  // a seek must clear; a stream that could be placed is fit for use again.
  std::clearerr(filePtr());
}

CoFileIO::Preallocator::FileSystem CoFileIO::Preallocator::findFileSystem(const CoFilePath&) {
  return FS_UNKNOWN;
}

CoFileIO::Preallocator::FileSystem CoFileIO::Preallocator::findFileSystem(FILE*) {
  return FS_UNKNOWN;
}

CoFileIO::Preallocator::PreallocateFunct CoFileIO::Preallocator::getPreallocateFunct(Method method,
                                                                                     FileSystem) {
  return method == METHOD_NONE ? preallocateNone : nullptr;
}

}  // namespace Kestrix
