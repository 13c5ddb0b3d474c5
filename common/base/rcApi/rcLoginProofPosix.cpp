#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base/rcApi/rcLoginProofPlatform.h"

namespace Kestrix {

long rcLoginProofPlatform::readSecretBytes(const std::string& path, bool privateOnly, char* buffer,
                                           size_t capacity, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    why = "not a regular file";
    return -1;
  }
  if (privateOnly && (status.st_mode & S_IROTH) != 0) {
    ::close(fd);
    why = "others may read it (chmod o-r)";
    return -1;
  }
  size_t size = 0;
  for (ssize_t n; size < capacity; size += static_cast<size_t>(n)) {
    n = ::read(fd, buffer + size, capacity - size);
    if (n < 0 && errno == EINTR) {
      n = 0;
      continue;
    }
    if (n < 0) {
      why = std::strerror(errno);
      ::close(fd);
      return -1;
    }
    if (n == 0) break;
  }
  ::close(fd);
  return static_cast<long>(size);
}

}  // namespace Kestrix
