#include "common/base/rcApi/rcLoginProof.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/loggerBase/WineTestSupport.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcLoginProofTestSupport.h"

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

// Published HMAC-SHA256 vectors (RFC 4231 cases 1, 2 and 6) and an empty
// key, so that every system's back end must give the same proofs.
TEST(rcLoginProof, HmacGivesKnownVectorsAndComparisonNeedsTheWholeText) {
  EXPECT_EQ(rcLoginProof::hmacHex(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(rcLoginProof::hmacHex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(rcLoginProof::hmacHex(std::string(131, '\xaa'),
                                  "Test Using Larger Than Block-Size Key - Hash Key First"),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  EXPECT_EQ(rcLoginProof::hmacHex("", ""),
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
  EXPECT_TRUE(rcLoginProof::sameProof("5bdc", "5bdc"));
  for (const char* other : {"5bdd", "5bd", "5bdc0", ""})
    EXPECT_FALSE(rcLoginProof::sameProof(other, "5bdc")) << other;
  EXPECT_FALSE(rcLoginProof::sameProof("", ""));
}

TEST(rcLoginProof, SecretFileIsTrimmedAndMustBePrivate) {
  rcLoginProofTest::SecretFile file("abc \n\n");
  std::string secret, error;
  ASSERT_TRUE(file.letOthersRead());
  EXPECT_FALSE(rcLoginProof::readSecretFile(file.path(), true, secret, error));
  EXPECT_NE(error.find("others may read it"), std::string::npos) << error;
  ASSERT_TRUE(rcLoginProof::readSecretFile(file.path(), false, secret, error)) << error;
  EXPECT_EQ(secret, "abc");
  if (runningUnderWine()) GTEST_SKIP() << "wine keeps no permissions that a program sets on a file";
  ASSERT_TRUE(file.makePrivate());
  secret.clear();
  EXPECT_TRUE(rcLoginProof::readSecretFile(file.path(), true, secret, error)) << error;
  EXPECT_EQ(secret, "abc");
}

}  // namespace
}  // namespace Kestrix
