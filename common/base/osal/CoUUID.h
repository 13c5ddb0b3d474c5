#pragma once
// UUIDs in their canonical text form (lower-case 8-4-4-4-12).

#include <string>

namespace Kestrix {
namespace CoUUID {

// A new random (version 4) UUID; false with error set when none can be made.
bool generate(std::string& uuid, std::string& error);
// True for the 8-4-4-4-12 shape of hexadecimal digits, either case.
bool validate(const std::string& text);
// Comparison without regard to case.
int compare(const char* a, const char* b);

}  // namespace CoUUID
}  // namespace Kestrix
