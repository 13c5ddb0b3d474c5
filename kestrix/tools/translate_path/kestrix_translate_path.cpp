// kestrix_translate_path: asks a server which paths on a destination host
// (and operating system) name the same files as paths on the server's host,
// and prints the answers one per line. Everything, errors included, goes to
// standard output; the exit code is 0 on success and 1 otherwise.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "common/base/fileUtil/CoFileIO.h"
#include "common/base/fileUtil/CoFilePath.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/osal/CoMemory.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/tools/translate_path/getopt.h"

namespace {

// Filled by the option loop.
std::string gServerHost;
std::string gDestinationHost;
KestrixStr gSinglePath;
KestrixStr gPathFileName;
KestrixOS::OsType gDestinationOsType = KestrixOS::OS_TYPE_UNKNOWN;

void printUsage(const char* program) {
  std::printf("Usage: %s\n", program);
  std::printf("  [-h <host name or IP of Kestrix server> (default = localhost)]\n");
  std::printf("  [-p <path on Kestrix server host to translate>]\n");
  std::printf("  [-f <file containing paths on remote host to translate to \n");
  std::printf("      path on the local host, delimited by new lines>]\n");
  std::printf("  [-H <destination host name> (default = localhost)]\n");
  std::printf("  [-O <destination operating system> (Irix,Linux,WindowsNT,MacOSX)]\n\n");
  std::printf("  Either -p or -f must be specified, but not both.\n");
  std::printf("\n");
}

// False on a usage error.
bool parseOptions(int argc, char** argv) {
  for (;;) {
    const int c = getopt(argc, argv, "h:p:f:H:O:");
    switch (c) {
      case -1:
        return true;
      case 'h':
        gServerHost = optarg;
        break;
      case 'p':
        gSinglePath = optarg;
        break;
      case 'f':
        gPathFileName = optarg;
        break;
      case 'H':
        gDestinationHost = optarg;
        break;
      case 'O':
        gDestinationOsType = KestrixOS::strToOsType(optarg);
        break;
      default:
        return false;
    }
  }
}

// Appends the lines of text to paths: runs of line ends count as one, and a
// CR right before a LF belongs to the line end, so files written on Windows
// read the same.
void splitLines(const char* text, size_t size, KestrixStrList& paths) {
  paths.reserveText(size + 1);
  // Text after a zero byte is not read.
  const char* const stop = text + std::strlen(text);
  for (const char* start = text; start < stop;) {
    const char* p =
        static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(stop - start)));
    if (p == nullptr) p = stop;
    const char* end = p;
    if (p != stop && end > start && end[-1] == '\r') --end;
    if (end > start) paths.push_back(start, static_cast<unsigned>(end - start));
    start = p + 1;
  }
}

// Reads the path file into paths; false (after the message) when it cannot.
bool readPathFile(KestrixStrList& paths) {
  // calloc: the zero bytes come from the system, not from a pass over them.
  std::unique_ptr<char, decltype(&std::free)> buffer(nullptr, &std::free);
  size_t read = 0;
  try {
    const Kestrix::CoFilePath path(gPathFileName.c_str());
    // Never negative: from 2 GiB on size() throws rather than wrap.
    const size_t capacity = static_cast<size_t>(path.size());
    buffer.reset(static_cast<char*>(std::calloc(capacity + 1, 1)));
    if (!buffer) throw std::bad_alloc();
    Kestrix::CoMemory::adviseLarge(buffer.get(), capacity + 1);
    Kestrix::CoFileIO file(path);
    file.openFile("r");
    // Bounded by the buffer, not by the file, which may have grown since.
    read = file.read(buffer.get(), 1, capacity);
    file.closeFile();
  } catch (const std::exception& e) {
    std::printf("Cannot read path file '%s': %s\n", gPathFileName.c_str(), e.what());
    return false;
  }
  splitLines(buffer.get(), read, paths);
  return true;
}

int run() {
  std::string badConfig;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badConfig)) {
    std::printf("%s\n", badConfig.c_str());
    return 1;
  }
  KestrixClient client;
  if (!client.init()) {
    std::printf("Unable to initialize Kestrix client API.\n");
    return 1;
  }
  if (gServerHost.empty()) gServerHost = KestrixOS::getHostName().c_str();
  if (gDestinationHost.empty()) gDestinationHost = gServerHost;

  KestrixServerId serverId(gServerHost.c_str());
  KestrixServerHandle server(serverId);
  KestrixStrList sourcePaths;
  KestrixStrList results;
  if (!gSinglePath.isEmpty())
    sourcePaths.push_back(gSinglePath.c_str());
  else if (!readPathFile(sourcePaths))
    return 1;

  if (!server.translatePaths(sourcePaths, results, nullptr, gDestinationHost.c_str(),
                             KestrixOS::OS_TYPE_UNKNOWN, gDestinationOsType)) {
    std::printf("Unable to translate paths on server '%s' to local path: %s\n", gServerHost.c_str(),
                server.lastError());
    return 1;
  }
  // A million answers go out in large writes, not one per line.
  static char output[1 << 20];
  std::setvbuf(stdout, output, _IOFBF, sizeof output);
  for (unsigned i = 0; i < results.size(); ++i) {
    std::fputs(results[i], stdout);
    std::putchar('\n');
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!parseOptions(argc, argv) || gSinglePath.isEmpty() == gPathFileName.isEmpty()) {
    printUsage(argv[0]);
    return 1;
  }
  try {
    return run();
  } catch (const std::exception& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
}
