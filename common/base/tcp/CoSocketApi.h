#pragma once
// The socket names both systems spell alike (addresses, the resolver, byte
// order, the host name, TCP options), so that code built on them is written
// once. Calls that take a socket go through CoSocketOps, since the socket's
// type differs.

#ifdef _WIN32  // the one platform split: where the names come from
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
