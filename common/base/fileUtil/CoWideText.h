#pragma once
// Windows builds only: the system's wide-character calls take UTF-16 where
// the library holds UTF-8.

#include <string>

namespace Kestrix {

// Invalid UTF-8 becomes U+FFFD rather than a shorter name that might exist.
std::wstring coWideText(const char* utf8);
std::string coUtf8Text(const wchar_t* wide);

}  // namespace Kestrix
