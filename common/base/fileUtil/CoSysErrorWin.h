#pragma once
// Windows builds only: the texts of GetLastError codes, from the system's
// message table, for the calls that report failure that way.

#include <windows.h>

#include <string>

#include "common/base/loggerBase/CoException.h"

namespace Kestrix {

// The system's message for code, without its line break.
std::string coWinErrorText(DWORD code);

}  // namespace Kestrix

// Throws a CoException raised at the failing statement, with the text of
// GetLastError as it stands and an optional expert format.
#define CO_THROW_LAST_ERROR(...)                                              \
  do {                                                                        \
    const std::string errText_ = ::Kestrix::coWinErrorText(::GetLastError()); \
    CO_THROW(errText_.c_str(), __VA_ARGS__);                                  \
  } while (0)
