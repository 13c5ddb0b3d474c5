#include "common/base/fileUtil/CoFileIO.h"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <utility>

#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {
namespace {

// Names by value + 1, so that index 0 is the -1 entry.
constexpr const char* kMethodNames[] = {"Invalid", "None", "FAllocate", "Reserve", "F_Preallocate"};
constexpr const char* kFileSystemNames[] = {"Unknown", "Generic",  "XFS", "HFS/HFS Plus",
                                            "NFS",     "SMB/CIFS", "APFS"};
constexpr int kMethodCount = sizeof kMethodNames / sizeof kMethodNames[0];
constexpr int kFileSystemCount = sizeof kFileSystemNames / sizeof kFileSystemNames[0];

}  // namespace

// --- Preallocator --------------------------------------------------------

CoFileIO::Preallocator::Preallocator(const CoFilePath& path)
    : method_(METHOD_NONE), fileSystem_(findFileSystem(path)) {
  for (Method m : {METHOD_F_PREALLOCATE, METHOD_RESERVE, METHOD_FALLOCATE}) {
    if (isSupported(m, fileSystem_)) {
      method_ = m;
      return;
    }
  }
}

const char* CoFileIO::Preallocator::getMethodStr(Method method) {
  const int index = static_cast<int>(method) + 1;
  if (index < 0 || index >= kMethodCount) {
    QV_ASSERT(!"Unhandle file system preallocation method");
    return "";
  }
  return kMethodNames[index];
}

const char* CoFileIO::Preallocator::getFileSystemStr(FileSystem fileSystem) {
  const int index = static_cast<int>(fileSystem) + 1;
  if (index < 0 || index >= kFileSystemCount) {
    QV_ASSERT(!"Unhandle file system type");
    return "";
  }
  return kFileSystemNames[index];
}

CoFileIO::Preallocator::Method CoFileIO::Preallocator::getMethodFromStr(const char* text) {
  for (int value = METHOD_NONE; text && value <= METHOD_F_PREALLOCATE; ++value)
    if (strcasecmp(text, kMethodNames[value + 1]) == 0) return static_cast<Method>(value);
  CO_POST_WARNING("Invalid media preallocation type string '%s'", text ? text : "");
  return METHOD_INVALID;
}

CoFileIO::Preallocator::FileSystem CoFileIO::Preallocator::getFileSystemFromStr(const char* text) {
  for (int value = FS_GENERIC; text && value <= FS_APFS; ++value)
    if (strcasecmp(text, kFileSystemNames[value + 1]) == 0) return static_cast<FileSystem>(value);
  CO_POST_WARNING("Invalid file system type string '%s'", text ? text : "");
  return FS_UNKNOWN;
}

bool CoFileIO::Preallocator::isSupported(Method method, FileSystem fileSystem) {
  return getPreallocateFunct(method, fileSystem) != nullptr;
}

void CoFileIO::Preallocator::preallocate(FILE* stream, uint64_t offset, uint64_t size) const {
  const FileSystem fileSystem = fileSystem_ < 0 ? findFileSystem(stream) : fileSystem_;
  const PreallocateFunct funct = getPreallocateFunct(method_, fileSystem);
  if (funct == nullptr) {
    CO_POST_ERROR("Unsupported preallocation type '%s' on filesystem type '%s'.",
                  getMethodStr(method_), getFileSystemStr(fileSystem));
    CO_THROW("Unsupported preallocation type", nullptr);
  }
  std::string error;
  if (!funct(stream, offset, size, error)) {
    CO_POST_WARNING("Could not preallocate space: %s.", error.c_str());
    CO_THROW(error.c_str(), nullptr);
  }
}

// --- CoFileIO ------------------------------------------------------------

CoFileIO::CoFileIO(const char* a, const char* b, const char* c) : CoFilePath(a, b, c) {}
CoFileIO::CoFileIO(const std::string& path) : CoFilePath(path) {}
CoFileIO::CoFileIO(const CoFilePath& path) : CoFilePath(path) {}

CoFileIO::CoFileIO(CoFileIO&& other) noexcept
    : CoFilePath(std::move(other)),
      file_(std::exchange(other.file_, nullptr)),
      owned_(std::exchange(other.owned_, false)) {}

CoFileIO& CoFileIO::operator=(CoFileIO&& other) noexcept {
  if (this == &other) return *this;
  closeQuietly();
  CoFilePath::operator=(std::move(other));
  file_ = std::exchange(other.file_, nullptr);
  owned_ = std::exchange(other.owned_, false);
  return *this;
}

CoFileIO::~CoFileIO() {
  closeQuietly();
}

void CoFileIO::requireFile() const {
  QV_ASSERT(file_);
  if (file_ == nullptr) CO_THROW(coSysErrorText(EBADF).c_str(), "No open file for \"%s\"", path());
}

int CoFileIO::_openFile(const char* mode) {
  closeQuietly();
  errno = 0;
  FILE* file = coOpenFile(path(), mode ? mode : "");
  if (file == nullptr) return coLastErrno();
  file_ = file;
  owned_ = true;
  return 0;
}

void CoFileIO::openFile(const char* mode) {
  const int err = _openFile(mode);
  if (err != 0)
    CO_THROW(coSysErrorText(err).c_str(), "Could not open \"%s\" (flags:%s)", path(),
             mode ? mode : "");
}

int CoFileIO::closeStream() noexcept {
  int err = 0;
  if (owned_) {
    QV_ASSERT(file_);
    errno = 0;
    if (file_ && std::fclose(file_) != 0) err = coLastErrno();
  }
  file_ = nullptr;
  owned_ = false;
  return err;
}

// Buffered bytes are written at the latest here: a full disk may show only now.
void CoFileIO::closeFile() {
  const int err = closeStream();
  if (err != 0) CO_THROW(coSysErrorText(err).c_str(), "Could not close \"%s\"", path());
}

// Closes where no exception may leave: the loss is posted instead.
void CoFileIO::closeQuietly() noexcept {
  const int err = closeStream();
  if (err != 0) CO_POST_WARNING("Could not close \"%s\": %s", path(), coSysErrorText(err).c_str());
}

size_t CoFileIO::read(void* buffer, size_t itemSize, size_t count) {
  requireFile();
  errno = 0;
  const size_t n = std::fread(buffer, itemSize, count, file_);
  if (n < count && std::ferror(file_)) CO_THROW_ERRNO(nullptr);
  return n;
}

size_t CoFileIO::write(const void* buffer, size_t itemSize, size_t count) {
  requireFile();
  errno = 0;
  const size_t n = std::fwrite(buffer, itemSize, count, file_);
  if (n < count || std::ferror(file_)) CO_THROW_ERRNO(nullptr);
  return n;
}

size_t CoFileIO::putStr(const char* text) {
  return text ? write(text, 1, std::char_traits<char>::length(text)) : 0;
}

int CoFileIO::print(const char* format, ...) {
  requireFile();
  va_list args;
  va_start(args, format);
  errno = 0;
  const int n = std::vfprintf(file_, format, args);
  va_end(args);
  if (n < 0) CO_THROW_ERRNO(nullptr);
  return n;
}

int CoFileIO::getChar() {
  requireFile();
  errno = 0;
  const int c = std::fgetc(file_);
  if (c == EOF && std::ferror(file_)) CO_THROW_ERRNO(nullptr);
  return c;
}

void CoFileIO::putChar(int c) {
  requireFile();
  errno = 0;
  if (std::fputc(c, file_) == EOF) CO_THROW_ERRNO(nullptr);
}

void CoFileIO::flushFile() {
  requireFile();
  if (std::fflush(file_) != 0) CO_THROW_ERRNO("Could not flush \"%s\"", path());
}

bool CoFileIO::isEOF() const {
  return file_ && std::feof(file_);
}

void CoFileIO::setFilePtr(FILE* stream) {
  closeQuietly();
  CoFilePath::setPath(std::string());
  file_ = stream;
  owned_ = false;
}

void CoFileIO::setPath(const char* path) {
  closeQuietly();
  CoFilePath::setPath(path ? path : "");
}

void CoFileIO::setPath(const CoFilePath& path) {
  closeQuietly();
  CoFilePath::setPath(path.getPath());
}

std::string CoFileIO::openAndReadASCIIFile() {
  openFile("r");
  try {
    const int32_t size = this->size();
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    text.resize(read(text.data(), 1, text.size()));
    closeFile();
    return text;
  } catch (...) {
    closeQuietly();
    throw;
  }
}

void CoFileIO::lock() {
  requireFile();
  QV_ASSERT(0);
}

void CoFileIO::unlock() {
  requireFile();
  QV_ASSERT(0);
}

void CoFileIO::preallocate(uint64_t offset, uint64_t size, Preallocator& preallocator) {
  if (file_ == nullptr) openFile("w+");
  preallocator.preallocate(file_, offset, size);
}

}  // namespace Kestrix
