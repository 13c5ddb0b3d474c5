#pragma once
// Paths are UTF-8 inside the library. These hand one to the C and C++
// run-times the way the system wants its file names: as they are on Posix
// systems, as UTF-16 on Windows, where the narrow functions read the ANSI
// code page.

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace Kestrix {

// fopen's contract: the stream, or null with errno set.
std::FILE* coOpenFile(const char* path, const char* mode);
// For the file streams and std::filesystem.
std::filesystem::path coNativePath(const char* path);
// stat's contract for the size and the modification time (seconds since the
// epoch): true, or false with errno set.
bool coStatFile(const char* path, int64_t& size, int64_t& modified);

}  // namespace Kestrix
