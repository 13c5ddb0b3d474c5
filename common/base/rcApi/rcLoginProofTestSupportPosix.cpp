#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/base/rcApi/rcLoginProofTestSupport.h"

namespace Kestrix {
namespace rcLoginProofTest {

SecretFile::SecretFile(const std::string& text) {
  char path[] = "/tmp/kestrix-secret-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return;
  path_ = path;
  if (::write(fd, text.data(), text.size()) < 0) path_.clear();
  ::close(fd);
}

SecretFile::~SecretFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool SecretFile::makePrivate() {
  return ::chmod(path_.c_str(), 0640) == 0;
}

bool SecretFile::letOthersRead() {
  return ::chmod(path_.c_str(), 0644) == 0;
}

}  // namespace rcLoginProofTest
}  // namespace Kestrix
