#include "common/base/fileUtil/CoSysError.h"

#include <cerrno>
#include <cstring>

namespace Kestrix {

std::string coSysErrorText(int err) {
  if (err == 0) err = EIO;
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text ? text : "Unknown error";
}

int coLastErrno() {
  return errno != 0 ? errno : EIO;
}

}  // namespace Kestrix
