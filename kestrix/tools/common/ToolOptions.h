#pragma once
// Option parsing shared by the commands: their short options, plus --help
// (usage on stdout) and --version, with getopt_long's rules. Usage errors
// are left to the caller, which prints the usage on stderr and exits 2.

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace KestrixTools {

enum class Parsed { RUN, EXIT_OK, USAGE_ERROR };

// A whole number of seconds from 0 to max, in decimal.
inline bool parseSeconds(const char* text, long max, long& seconds) {
  char* end = nullptr;
  seconds = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && seconds >= 0 && seconds <= max;
}

// The exit status of a parse that does not run the program: 0 after --help
// or --version, 2 with the usage on stderr after a usage error.
inline int exitStatus(Parsed parsed, void (*printUsage)(FILE*, const char*), const char* program) {
  if (parsed == Parsed::EXIT_OK) return 0;
  printUsage(stderr, program);
  return 2;
}

// onOption(c, optarg) takes each short option and returns false for a bad
// value; operands are not allowed.
template <class OnOption>
Parsed parseOptions(int argc, char** argv, const char* shortOptions, const char* name,
                    void (*printUsage)(FILE*, const char*), OnOption onOption) {
  static const option kLong[] = {{"help", no_argument, nullptr, '\x01'},
                                 {"version", no_argument, nullptr, '\x02'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;  // the usage text says it all
  for (int c; (c = getopt_long(argc, argv, shortOptions, kLong, nullptr)) != -1;) {
    if (c == '\x01') {
      printUsage(stdout, argv[0]);
      return Parsed::EXIT_OK;
    }
    if (c == '\x02') {
      std::printf("%s %s\n", name, KESTRIX_VERSION);
      return Parsed::EXIT_OK;
    }
    if (c == '?' || c == ':' || !onOption(c, optarg)) return Parsed::USAGE_ERROR;
  }
  return optind == argc ? Parsed::RUN : Parsed::USAGE_ERROR;
}

}  // namespace KestrixTools
