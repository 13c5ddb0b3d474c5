#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/rcApi/rcLoginProofPlatform.h"

namespace Kestrix {

bool rcLoginProof::sameProof(const std::string& given, const std::string& expected) {
  return !expected.empty() && given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

std::string rcLoginProof::hmacHex(const std::string& secret, const std::string& text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac,
           &length) == nullptr)
    return std::string();
  return rcLoginProofPlatform::hexText(mac, length);
}

void rcLoginProofPlatform::wipe(void* data, size_t size) {
  OPENSSL_cleanse(data, size);
}

}  // namespace Kestrix
