#pragma once
// Proof of a shared secret in a login record. The record's checksum only
// guards against corruption; a server that keeps a secret wants more: the
// client puts into "StrPassword" an HMAC-SHA256, keyed with the secret, over
// the record's other fields (its timestamp, set to the current time,
// included). The secret itself never travels. The server accepts a proof
// made within MAX_SKEW_SECONDS of its own clock, and each proof once: it
// remembers the proofs it accepted for as long as they could be replayed.
//
// The client reads the secret from the file KESTRIX_SECRET_FILE names, when
// that variable is set; every program built on the library then proves it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

namespace Kestrix {

class rcConnectionInfo;

class rcLoginProof {
 public:
  static constexpr int MAX_SKEW_SECONDS = 120;
  // A secret file is a few bytes of text; more is a wrong file.
  static constexpr size_t MAX_SECRET_BYTES = 4096;
  // Proofs remembered at once: a server that has that many in one window
  // refuses further logins until the oldest expire.
  static constexpr size_t MAX_REMEMBERED = 1000000;

  // Reads a secret: the file's text without trailing white space, which
  // must leave at least one byte. With privateOnly, a file that others than
  // its owner and group may read is refused. False with error set.
  static bool readSecretFile(const std::string& path, bool privateOnly, std::string& secret,
                             std::string& error);
  // The secret of KESTRIX_SECRET_FILE: false with error set when the
  // variable names a file that cannot be read; true with an empty secret
  // when the variable is not set.
  static bool clientSecret(std::string& secret, std::string& error);

  // Stamps the record with the time now and its proof.
  static void sign(rcConnectionInfo& record, const std::string& secret, int64_t nowSeconds);
  // The lower-case hexadecimal HMAC-SHA256 of the record's fields.
  static std::string proof(const rcConnectionInfo& record, const std::string& secret);
  // The lower-case hexadecimal HMAC-SHA256 of text keyed with secret; "" on failure.
  static std::string hmacHex(const std::string& secret, const std::string& text);
  // Whether a received proof is the expected one, in constant time.
  static bool sameProof(const std::string& given, const std::string& expected);

  explicit rcLoginProof(std::string secret) : secret_(std::move(secret)) {}
  const std::string& secret() const { return secret_; }
  // Checks a received record's proof, its age and that it is new; false
  // with the reason (for the log, not for the peer) in why.
  bool accept(const rcConnectionInfo& record, int64_t nowSeconds, std::string& why);

 private:
  struct Seen {
    std::string proof;
    int64_t expires;
  };

  std::string secret_;
  std::mutex mutex_;
  std::unordered_set<std::string> seen_;
  std::deque<Seen> byExpiry_;
};

}  // namespace Kestrix
