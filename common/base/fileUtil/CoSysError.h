#pragma once
// The system's text for an error number, shared by every unit of this module
// that turns a failed system call into a CoException or a warning.

#include <cerrno>
#include <string>

#include "common/base/loggerBase/CoException.h"

namespace Kestrix {

// The text for err; an error number of 0 reads as EIO so that a failure
// never reports "Success".
std::string coSysErrorText(int err);

// errno as it stands, or EIO when a failing call left it at 0.
int coLastErrno();

}  // namespace Kestrix

// Throws a CoException raised at the failing statement, with the text of
// errno as it stands and an optional expert format.
#define CO_THROW_ERRNO(...)                                       \
  do {                                                            \
    const int err_ = errno;                                       \
    const std::string errText_ = ::Kestrix::coSysErrorText(err_); \
    CO_THROW(errText_.c_str(), __VA_ARGS__);                      \
  } while (0)
