#pragma once
// Paths are UTF-8 inside the library. These hand one to the C and C++
// run-times the way the system wants its file names: as they are on Posix
// systems, as UTF-16 on Windows, where the narrow functions read the ANSI
// code page.

#include <cstdio>
#include <filesystem>

namespace Kestrix {

// fopen's contract: the stream, or null with errno set.
std::FILE* coOpenFile(const char* path, const char* mode);
// For the file streams and std::filesystem.
std::filesystem::path coNativePath(const char* path);

}  // namespace Kestrix
