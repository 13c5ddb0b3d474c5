#pragma once
// What the login proof takes from the system: reading the secret file and
// the cryptography (hmacHex and sameProof of rcLoginProof are defined beside
// these). Private to rcLoginProof.

#include <cstddef>
#include <string>

namespace Kestrix {
namespace rcLoginProofPlatform {

// Reads up to size bytes of a regular file into buffer: the count, or -1
// with the reason in why. With privateOnly, a file that others than its
// owner (and group) may read is refused.
long readSecretBytes(const std::string& path, bool privateOnly, char* buffer, size_t size,
                     std::string& why);
// Lower-case hexadecimal of bytes, for the back ends' digests (defined in
// rcLoginProof.cpp).
std::string hexText(const unsigned char* bytes, size_t size);
// Clears memory that held a secret, in a way the compiler keeps.
void wipe(void* data, size_t size);

}  // namespace rcLoginProofPlatform
}  // namespace Kestrix
