#include "common/base/fileUtil/CoFilePath.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {
namespace {

constexpr size_t kMaxPath = 1024;
constexpr size_t kNoExtension = std::string::npos;

// Where the extension of the first n characters of s starts (just after its
// dot), or kNoExtension. A dot first in a name, or last, is not one.
size_t extensionStart(const char* s, size_t n) {
  for (size_t i = n; i-- > 1;) {
    const char c = s[i];
    if (CoFilePath::isPathSeparator(c)) return kNoExtension;
    if (c != '.') continue;
    if (i == n - 1 || CoFilePath::isPathSeparator(s[i - 1])) return kNoExtension;
    // Compressed files keep the extension of what they hold: "x.tar.pxz".
    if (n - i - 1 == 3 && strncasecmp(s + i + 1, "pxz", 3) == 0) {
      const size_t inner = extensionStart(s, i);
      if (inner != kNoExtension) return inner;
    }
    return i + 1;
  }
  return kNoExtension;
}

std::string firstChars(const std::string& path) {
  return path.substr(0, kMaxPath);
}

}  // namespace

CoFilePath::CoFilePath(const char* a, const char* b, const char* c) {
  concatenate(a);
  concatenate(b);
  concatenate(c);
}

CoFilePath::CoFilePath(const std::string& path) : path_(path) {}
CoFilePath::CoFilePath(std::string&& path) : path_(std::move(path)) {}
CoFilePath::CoFilePath(const CoFilePath& other) : path_(other.path_), type_(other.type_) {}
CoFilePath::CoFilePath(CoFilePath&& other) noexcept
    : path_(std::move(other.path_)), type_(other.type_) {
  other.resetCaches();
}

CoFilePath& CoFilePath::operator=(const CoFilePath& other) {
  if (this == &other) return *this;
  path_ = other.path_;
  extension_ = nullptr;
  type_ = other.type_;
  return *this;
}

CoFilePath& CoFilePath::operator=(CoFilePath&& other) noexcept {
  if (this == &other) return *this;
  path_ = std::move(other.path_);
  extension_ = nullptr;
  type_ = other.type_;
  other.resetCaches();
  return *this;
}

CoFilePath::~CoFilePath() = default;

void CoFilePath::setPath(const std::string& path) {
  path_ = path;
  resetCaches();
}

CoFilePath& CoFilePath::operator+=(const char* text) {
  if (text) path_ += text;
  resetCaches();
  return *this;
}

CoFilePath& CoFilePath::concatenate(const char* text, size_t length) {
  // Callers pass the length they know, but the text always goes in whole.
  static_cast<void>(length);
  if (text == nullptr || text[0] == '\0') return *this;
  resetCaches();
  if (path_.empty()) {
    path_ = text;
    return *this;
  }
  const bool pathEnds = isPathSeparator(path_.back());
  const bool textStarts = isPathSeparator(text[0]);
  if (pathEnds && textStarts)
    ++text;
  else if (!pathEnds && !textStarts)
    path_ += pathSeparator();
  path_ += text;
  return *this;
}

CoFilePath& CoFilePath::appendExtension(const char* ext) {
  if (ext == nullptr) return *this;
  if (ext[0] != '.') path_ += '.';
  path_ += ext;
  resetCaches();
  return *this;
}

CoFilePath& CoFilePath::appendToBase(const char* text) {
  if (text == nullptr) return *this;
  const size_t ext = extensionStart(path_.c_str(), path_.size());
  if (ext == kNoExtension)
    path_ += text;
  else
    path_.insert(ext - 1, text);
  resetCaches();
  return *this;
}

CoFilePath& CoFilePath::pruneExtension() {
  const size_t ext = extensionStart(path_.c_str(), path_.size());
  if (ext != kNoExtension) path_.erase(ext - 1);
  resetCaches();
  return *this;
}

const char* CoFilePath::extension() const {
  if (extension_ == nullptr) {
    const size_t ext = extensionStart(path_.c_str(), path_.size());
    extension_ = ext == kNoExtension ? "" : path_.c_str() + ext;
  }
  return extension_;
}

std::string CoFilePath::baseName() const {
  std::string s = firstChars(path_);
  if (!s.empty() && isPathSeparator(s.back())) s.pop_back();
  const size_t sep = s.find_last_of("/\\");
  return sep == std::string::npos ? s : s.substr(sep + 1);
}

std::string CoFilePath::name() const {
  std::string base = baseName();
  const size_t ext = extensionStart(base.c_str(), base.size());
  if (ext != kNoExtension) base.erase(ext - 1);
  return base;
}

std::string CoFilePath::directoryName() const {
  const std::string s = firstChars(path_);
  if (s.empty() || s == "." || s == "..") return ".";
  size_t sep = s.find_last_of("/\\");
  if (sep != std::string::npos && sep == s.size() - 1)
    sep = sep == 0 ? std::string::npos : s.find_last_of("/\\", sep - 1);
  if (sep == std::string::npos) return ".";
  if (sep == 0) return s.substr(0, 1);
  return s.substr(0, sep);
}

bool CoFilePath::isAbsolute() const {
  return !path_.empty() && isPathSeparator(path_[0]);
}

bool CoFilePath::pathContainsInvalidChars() const {
  return path_.find_first_of(invalidChars()) != std::string::npos;
}

CoFilePath& CoFilePath::clean() {
  resetCaches();
  if (path_.find_first_of("/\\") == std::string::npos) return *this;
  std::string out;
  out.reserve(path_.size());
  const size_t n = path_.size();
  for (size_t i = 0; i < n;) {
    if (!isPathSeparator(path_[i])) {
      out += path_[i++];
      continue;
    }
    // One separator stands for the whole run of separators and "." parts.
    ++i;
    while (i < n) {
      if (isPathSeparator(path_[i]))
        ++i;
      else if (path_[i] == '.' && i + 1 < n && isPathSeparator(path_[i + 1]))
        i += 2;
      else
        break;
    }
    out += pathSeparator();
  }
  path_ = std::move(out);
  return *this;
}

CoFilePath& CoFilePath::expand() {
  std::string out;
  const size_t n = path_.size();
  for (size_t i = 0; i < n;) {
    if (path_[i] != '$') {
      out += path_[i++];
      continue;
    }
    size_t end = i + 1;
    while (end < n && !isPathSeparator(path_[end])) ++end;
    const std::string var = path_.substr(i + 1, end - i - 1);
    const char* value = std::getenv(var.c_str());
    if (value == nullptr)
      CO_THROW(coSysErrorText(ENOENT).c_str(), "Undefined variable '%s' in \"%s\"", var.c_str(),
               path_.c_str());
    out += value;
    i = end;
  }
  path_ = std::move(out);
  return clean();
}

namespace {

// An environment value, unless the variable is absent or empty.
const char* envValue(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] ? value : nullptr;
}

}  // namespace

CoFilePath CoFilePath::homeDir() {
  if (const char* home = envValue("HOME")) return CoFilePath(home);
  return tempDir();
}

CoFilePath CoFilePath::realPath() const {
  QV_ASSERT(!"Unimplemented");
  return *this;
}

CoFilePath::Permissions CoFilePath::getPermissions() const {
  CO_THROW("Unimplemented on this system.", nullptr);
}

void CoFilePath::chown(int, int) {
  CO_THROW("Unimplemented on this system.", nullptr);
}

void CoFilePath::chown(const char*, const char*) {
  CO_THROW("Unimplemented on this system.", nullptr);
}

int64_t CoFilePath::getAvailSpaceMB() const {
  CO_THROW("Unimplemented on this system.", nullptr);
}

void CoFilePath::createLink(const CoFilePath&, bool) {
  CO_THROW("Links not supported on this filesystem.", nullptr);
}

int32_t CoFilePath::size() const {
  int64_t size = 0;
  int64_t modified = 0;
  if (!coStatFile(path(), size, modified)) CO_THROW_ERRNO(nullptr);
  // Callers size buffers from this count: a wrapped one would be a lie.
  if (size > INT32_MAX) {
    char text[96];
    std::snprintf(text, sizeof text, "File too large (%lld bytes, at most %d)",
                  static_cast<long long>(size), INT32_MAX);
    CO_THROW(text, nullptr);
  }
  return static_cast<int32_t>(size);
}

int64_t CoFilePath::lastModified() const {
  int64_t size = 0;
  int64_t modified = 0;
  if (!coStatFile(path(), size, modified)) CO_THROW_ERRNO(nullptr);
  return modified;
}

}  // namespace Kestrix
