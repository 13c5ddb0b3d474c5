#pragma once
// The command's own option parser, exported under the usual C names so the
// program behaves the same on every system: "/p" reads like "-p", an
// option's value may be glued to its letter, and nothing is ever printed.
// The declarations match the C library's so both may be seen together.

extern "C" {
extern char* optarg;
extern int optind;
extern int opterr;
int getopt(int argc, char* const argv[], const char* optstring) noexcept;
}
