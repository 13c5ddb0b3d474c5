#include "kestrix/tools/translate_path/getopt.h"

#include <cstring>

extern "C" {
char* optarg = nullptr;
int optind = 1;
int opterr = 1;
}

namespace {

// Inside a cluster such as "-ab": the option character last returned.
const char* scanPos = nullptr;

int errorReturn(int c) {
  // The rest of the current argument is skipped.
  scanPos = nullptr;
  optarg = nullptr;
  return opterr ? '?' : c;
}

}  // namespace

int getopt(int argc, char* const argv[], const char* optstring) noexcept {
  const char* cp = nullptr;
  if (scanPos != nullptr && *++scanPos != '\0') cp = scanPos;
  if (cp == nullptr) {
    if (optind >= argc) {
      scanPos = nullptr;
      return -1;
    }
    const char* arg = argv[optind++];
    if (arg[0] != '-' && arg[0] != '/') {
      --optind;
      optarg = nullptr;
      scanPos = nullptr;
      return -1;
    }
    if (std::strcmp(arg, "-") == 0 || std::strcmp(arg, "--") == 0) {
      optarg = nullptr;
      scanPos = nullptr;
      return -1;
    }
    cp = arg + 1;
  }

  const int c = static_cast<unsigned char>(*cp);
  if (c == ':') return errorReturn(':');
  const char* entry = c != '\0' ? std::strchr(optstring, c) : nullptr;
  if (entry == nullptr) return errorReturn(c);
  if (entry[1] != ':') {
    optarg = nullptr;
    scanPos = cp;
    return c;
  }
  scanPos = nullptr;
  if (cp[1] != '\0') {
    optarg = const_cast<char*>(cp + 1);
    return c;
  }
  if (optind < argc) {
    optarg = argv[optind++];
    return c;
  }
  return errorReturn(c);
}
