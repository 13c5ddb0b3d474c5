// A program of another project that uses the installed Kestrix client
// library: it asks a server which path on a destination host names the
// file that a path names on the server's host.
//
//   kestrix_consumer <server> <path> <destination host>
//
// <server> is a host name, "host:port" or "host:database".

#include <kestrix/client/api/KestrixClientAPI.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "Usage: %s <server> <path> <destination host>\n", argv[0]);
    return 2;
  }
  KestrixClient client;  // starts the library; stops it when it goes
  if (!client.init()) {
    std::fprintf(stderr, "Unable to initialize Kestrix client API.\n");
    return 1;
  }
  KestrixServerHandle server{KestrixServerId(argv[1])};
  KestrixStr translated;
  if (!server.translatePath(argv[2], translated, nullptr, argv[3], KestrixOS::OS_TYPE_UNKNOWN,
                            KestrixOS::OS_TYPE_UNKNOWN)) {
    std::fprintf(stderr, "%s\n", server.lastError());
    return 1;
  }
  std::printf("%s\n", translated.c_str());
  return 0;
}
