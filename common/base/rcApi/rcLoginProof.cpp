#include "common/base/rcApi/rcLoginProof.h"

#include <cstring>

#include "common/base/loggerBase/EnvVar.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcLoginProofPlatform.h"

namespace Kestrix {
namespace {

EnvVar<std::string>& secretFileVar() {
  static EnvVar<std::string> var("KESTRIX_SECRET_FILE", "");
  return var;
}
RegEnvVar<std::string> gRegSecretFile(secretFileVar());

}  // namespace

std::string rcLoginProofPlatform::hexText(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(2 * size, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

bool rcLoginProof::readSecretFile(const std::string& path, bool privateOnly, std::string& secret,
                                  std::string& error) {
  const auto failed = [&](const std::string& why) {
    error = "Cannot use the secret file '" + path + "': " + why;
    return false;
  };
  char buffer[MAX_SECRET_BYTES + 1];
  std::string why;
  const long read =
      rcLoginProofPlatform::readSecretBytes(path, privateOnly, buffer, sizeof buffer, why);
  if (read < 0) return failed(why);
  size_t size = static_cast<size_t>(read);
  if (size > MAX_SECRET_BYTES) {
    rcLoginProofPlatform::wipe(buffer, sizeof buffer);
    return failed("longer than " + std::to_string(MAX_SECRET_BYTES) + " bytes");
  }
  while (size > 0 && std::strchr(" \t\r\n", buffer[size - 1]) != nullptr) --size;
  if (size == 0) return failed("it is empty");
  secret.assign(buffer, size);
  rcLoginProofPlatform::wipe(buffer, sizeof buffer);
  return true;
}

bool rcLoginProof::clientSecret(std::string& secret, std::string& error) {
  secret.clear();
  const std::string& path = secretFileVar().get();
  if (path.empty()) return true;
  if (readSecretFile(path, false, secret, error)) return true;
  error += " (KESTRIX_SECRET_FILE)";
  return false;
}

std::string rcLoginProof::proof(const rcConnectionInfo& record, const std::string& secret) {
  return hmacHex(secret, record.proofText());
}

void rcLoginProof::sign(rcConnectionInfo& record, const std::string& secret, int64_t nowSeconds) {
  record.setTimestamp(static_cast<unsigned>(nowSeconds));
  record.setPassword(proof(record, secret));
}

bool rcLoginProof::accept(const rcConnectionInfo& record, int64_t nowSeconds, std::string& why) {
  const std::string& given = record.getPassword();
  const std::string expected = proof(record, secret_);
  if (given.empty()) {
    why = "no proof of the secret";
    return false;
  }
  if (!sameProof(given, expected)) {
    why = "wrong proof of the secret";
    return false;
  }
  const int64_t age = nowSeconds - record.getTimestamp();
  if (age > MAX_SKEW_SECONDS || age < -MAX_SKEW_SECONDS) {
    why = "proof made " + std::to_string(age) + " s from this server's clock";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  while (!byExpiry_.empty() && byExpiry_.front().expires < nowSeconds) {
    seen_.erase(byExpiry_.front().proof);
    byExpiry_.pop_front();
  }
  if (seen_.count(given) != 0) {
    why = "proof already used";
    return false;
  }
  if (seen_.size() >= MAX_REMEMBERED) {
    why = "too many logins within " + std::to_string(2 * MAX_SKEW_SECONDS) + " s";
    return false;
  }
  // Replayable while its timestamp is within the window.
  seen_.insert(given);
  byExpiry_.push_back({given, record.getTimestamp() + MAX_SKEW_SECONDS});
  return true;
}

}  // namespace Kestrix
