#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/rcApi/rcLoginProofPlatform.h"

namespace Kestrix {
namespace {

constexpr ULONG SHA256_BYTES = 32;

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

// One HMAC provider for the process: opening one is costly, and a handle
// serves any number of threads.
BCRYPT_ALG_HANDLE hmacProvider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!succeeded(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                 BCRYPT_ALG_HANDLE_HMAC_FLAG)))
      return BCRYPT_ALG_HANDLE(nullptr);
    return handle;
  }();
  return provider;
}

}  // namespace

bool rcLoginProof::sameProof(const std::string& given, const std::string& expected) {
  if (expected.empty() || given.size() != expected.size()) return false;
  // Every byte is looked at, whatever differs first, so the time taken
  // tells nothing of how much of a guess was right.
  volatile unsigned char difference = 0;
  for (size_t i = 0; i < expected.size(); ++i)
    difference = difference | static_cast<unsigned char>(given[i] ^ expected[i]);
  return difference == 0;
}

std::string rcLoginProof::hmacHex(const std::string& secret, const std::string& text) {
  const BCRYPT_ALG_HANDLE provider = hmacProvider();
  if (provider == nullptr) return std::string();
  BCRYPT_HASH_HANDLE hash = nullptr;
  // The system refuses an empty key pointer, not an empty key.
  static UCHAR emptyKey = 0;
  PUCHAR key =
      secret.empty() ? &emptyKey : reinterpret_cast<PUCHAR>(const_cast<char*>(secret.data()));
  if (!succeeded(::BCryptCreateHash(provider, &hash, nullptr, 0, key,
                                    static_cast<ULONG>(secret.size()), 0)))
    return std::string();
  unsigned char mac[SHA256_BYTES];
  const bool ok =
      succeeded(::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())),
                                 static_cast<ULONG>(text.size()), 0)) &&
      succeeded(::BCryptFinishHash(hash, mac, SHA256_BYTES, 0));
  ::BCryptDestroyHash(hash);
  return ok ? rcLoginProofPlatform::hexText(mac, SHA256_BYTES) : std::string();
}

void rcLoginProofPlatform::wipe(void* data, size_t size) {
  ::SecureZeroMemory(data, size);
}

}  // namespace Kestrix
