#include "common/base/rcApi/rcLoginProof.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/rcApi/rcConnectionInfo.h"

namespace Kestrix {
namespace {

constexpr int64_t kNow = 1800000000;

// A record as a server parses it off the wire.
rcConnectionInfo received(rcConnectionInfo& sent) {
  CoTestMsgCapture quiet;
  return rcConnectionInfo(sent.toAttrStream().c_str(), nullptr);
}

rcConnectionInfo signedRecord(const std::string& secret, int64_t when = kNow) {
  rcConnectionInfo record(0x0001000200030004ull);
  record.fillInfo(nullptr);
  rcLoginProof::sign(record, secret, when);
  return record;
}

// Wrong, missing, replayed and stale proofs are refused end to end in
// tests/hostile_network_test.cpp; here, what only a crafted record shows.
TEST(rcLoginProof, ProofBindsEveryFieldAndBothEdgesOfTheWindow) {
  rcLoginProof server("s3cret");
  std::string why;
  rcConnectionInfo stolen = signedRecord("s3cret");
  rcConnectionInfo other = signedRecord("s3cret");  // another serial
  other.setPassword(stolen.getPassword());
  EXPECT_FALSE(server.accept(received(other), kNow, why));
  EXPECT_EQ(why, "wrong proof of the secret");
  for (const int64_t skew : {-121, -120, 120, 121}) {
    rcConnectionInfo record = signedRecord("s3cret", kNow + skew);
    EXPECT_EQ(server.accept(received(record), kNow, why), skew == -120 || skew == 120) << skew;
  }
}

TEST(rcLoginProof, SecretFileIsTrimmedAndMustBePrivate) {
  char path[] = "/tmp/kestrix-secret-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "abc \n\n", 6), 6);
  ::close(fd);
  std::string secret, error;
  ::chmod(path, 0640);
  ASSERT_TRUE(rcLoginProof::readSecretFile(path, true, secret, error)) << error;
  EXPECT_EQ(secret, "abc");
  ::chmod(path, 0644);
  EXPECT_FALSE(rcLoginProof::readSecretFile(path, true, secret, error));
  EXPECT_NE(error.find("others may read it"), std::string::npos) << error;
  EXPECT_TRUE(rcLoginProof::readSecretFile(path, false, secret, error));
  ::unlink(path);
}

}  // namespace
}  // namespace Kestrix
