#pragma once
// kestrixd's storage id when its rules give none. Hosts installed from the
// same package share their rules, so nothing in them can tell two servers
// apart: each one makes a random UUID the first time it serves a database on
// a port and keeps it in its state directory, one file per database and
// port, so that its id survives restarts and no other host has it.
//
// The file holds the id's text and a line end, is replaced atomically and is
// read strictly: anything else in it is replaced by a new id, with a warning.
// Only when the directory can be neither made nor written does the id fall
// back to one derived from the machine's id (or host name), the database and
// the port, again with a warning that names the directory and the reason.

#include <string>

namespace Kestrix {
namespace KestrixStorageId {

constexpr const char* DEFAULT_STATE_DIRECTORY = "/var/lib/kestrix";

struct Places {
  std::string stateDirectory = DEFAULT_STATE_DIRECTORY;
  // Its text keys the fallback id; hostName does when it cannot be read.
  std::string machineIdFile = "/etc/machine-id";
  std::string hostName;

  // STATE_DIRECTORY, /etc/machine-id and the system's host name.
  static Places fromSystem();
};

// The state directory that a STATE_DIRECTORY value names: the first of its
// ':'-separated paths (systemd lists one per StateDirectory= entry), else
// the default.
std::string stateDirectoryFrom(const char* value);
// The id kept for database and port, made and kept now when there is none.
std::string get(const Places& places, const std::string& database, int port);
// The fallback id: two FNV-1a hashes of the three, in the text form of a
// UUID (version 8: made by this program's own rule).
std::string derived(const std::string& machineKey, const std::string& database, int port);

}  // namespace KestrixStorageId
}  // namespace Kestrix
