#include "kestrix/server/KestrixStorageId.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/osal/CoUUID.h"

namespace Kestrix {
namespace KestrixStorageId {
namespace {

constexpr size_t UUID_TEXT = 36;

// A database name may hold any character: outside a safe set each byte
// becomes %XX, so that no name leaves the directory or meets another's file.
std::string fileName(const std::string& database, int port) {
  std::string name = "storage-id-";
  for (unsigned char c : database) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      name += static_cast<char>(c);
      continue;
    }
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", c);
    name += escaped;
  }
  return name + '-' + std::to_string(port);
}

// Up to limit bytes of a regular file; false with errno set when it cannot
// be had (EINVAL for anything else, a link too unless followed).
bool readSmallFile(const std::string& path, size_t limit, std::string& text, bool followLink) {
  // O_NONBLOCK: a FIFO put in its place must not hold up the server.
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    if (errno == ELOOP) errno = EINVAL;
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return false;
  }
  text.assign(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd, text.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(got);
  return true;
}

// The id that text holds: one UUID and, at most, one line end.
bool parseId(const std::string& text, std::string& id) {
  if (text.size() != UUID_TEXT && !(text.size() == UUID_TEXT + 1 && text.back() == '\n'))
    return false;
  id = text.substr(0, UUID_TEXT);
  return CoUUID::validate(id);
}

bool writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces path by a file holding id: a crash leaves the old file or the new
// one, never a part. Empty, or why not.
std::string writeAtomically(const std::string& directory, const std::string& path,
                            const std::string& id) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  const bool written = writeAll(fd, id + '\n') && ::fsync(fd) == 0;
  const int code = errno;
  if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(written ? errno : code);
    ::unlink(temporary.c_str());
    return reason;
  }
  // The rename itself lasts once the directory is on disk.
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return "";
}

std::string fallback(const Places& places, const std::string& database, int port,
                     const std::string& reason) {
  std::string machineKey;
  const bool machine = readSmallFile(places.machineIdFile, 64, machineKey, true) &&
                       (machineKey = machineKey.substr(0, machineKey.find('\n'))) != "";
  if (!machine) machineKey = places.hostName;
  CO_POST_WARNING("kestrixd: cannot keep a storage id in %s (%s): using one derived from %s",
                  places.stateDirectory.c_str(), reason.c_str(),
                  machine ? places.machineIdFile.c_str() : "the host name");
  return derived(machineKey, database, port);
}

}  // namespace

Places Places::fromSystem() {
  Places places;
  places.stateDirectory = stateDirectoryFrom(std::getenv("STATE_DIRECTORY"));
  CoNetworkLocal::getHostName(places.hostName);
  return places;
}

std::string stateDirectoryFrom(const char* value) {
  const std::string first =
      value != nullptr ? std::string(value).substr(0, std::strcspn(value, ":")) : std::string();
  return first.empty() ? DEFAULT_STATE_DIRECTORY : first;
}

std::string get(const Places& places, const std::string& database, int port) {
  const std::string& directory = places.stateDirectory;
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
    return fallback(places, database, port, std::strerror(errno));
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0)
    return fallback(places, database, port, std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return fallback(places, database, port, std::strerror(ENOTDIR));
  const std::string path = directory + '/' + fileName(database, port);
  std::string text, id;
  // One byte past an id and its line end tells a longer file from it.
  const bool read = readSmallFile(path, UUID_TEXT + 2, text, false);
  if (read && parseId(text, id)) return id;
  const int code = read ? 0 : errno;
  if (code != ENOENT)
    CO_POST_WARNING("kestrixd: %s holds no storage id (%s): it gets a new one", path.c_str(),
                    read ? "not one UUID" : std::strerror(code));
  std::string error;
  if (!CoUUID::generate(id, error)) return fallback(places, database, port, error);
  const std::string failure = writeAtomically(directory, path, id);
  if (!failure.empty()) return fallback(places, database, port, failure);
  CO_POST_NOTICE("kestrixd: storage id %s kept in %s", id.c_str(), path.c_str());
  return id;
}

std::string derived(const std::string& machineKey, const std::string& database, int port) {
  const std::string key = machineKey + '\n' + database + '\n' + std::to_string(port);
  uint64_t halves[2] = {14695981039346656037ull, 14695981039346656037ull ^ 0x5bd1e9955bd1e995ull};
  for (uint64_t& h : halves)
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  halves[0] = (halves[0] & ~0xF000ull) | 0x8000ull;
  halves[1] = (halves[1] & ~(3ull << 62)) | (2ull << 62);
  char text[UUID_TEXT + 1];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                static_cast<unsigned>(halves[0] >> 32),
                static_cast<unsigned>((halves[0] >> 16) & 0xFFFF),
                static_cast<unsigned>(halves[0] & 0xFFFF), static_cast<unsigned>(halves[1] >> 48),
                static_cast<unsigned long long>(halves[1] & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace KestrixStorageId
}  // namespace Kestrix
