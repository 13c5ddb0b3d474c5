#pragma once
// A temporary secret file whose readers a test chooses; the system calls
// live in rcLoginProofTestSupportPosix.cpp / rcLoginProofTestSupportWin.cpp.
// Test support: never linked into a program.

#include <string>

namespace Kestrix {
namespace rcLoginProofTest {

class SecretFile {
 public:
  explicit SecretFile(const std::string& text);
  ~SecretFile();
  SecretFile(const SecretFile&) = delete;
  SecretFile& operator=(const SecretFile&) = delete;

  const std::string& path() const { return path_; }
  // Owner (and group) only; false when the system refuses.
  bool makePrivate();
  // Everyone may read it too; false when the system refuses.
  bool letOthersRead();

 private:
  std::string path_;
};

}  // namespace rcLoginProofTest
}  // namespace Kestrix
