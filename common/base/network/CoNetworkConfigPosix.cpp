// Which configuration file is read, and reading it: here the file named by
// QV_NETWORK_CFG_FILE, else the tree's, else the system's, when it exists.

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/network/CoNetworkConfig.h"

namespace Kestrix {
namespace {

const char* const DEFAULT_CONFIG_FILE = "optHollvane/cfg/network.cfg";
// Where the packages put it, so that the commands and the daemon read the
// same file without an environment of their own.
const char* const SYSTEM_CONFIG_FILE = "/etc/kestrix/network.cfg";

RegEnvView gRegConfigFile("QV_NETWORK_CFG_FILE", DEFAULT_CONFIG_FILE);

}  // namespace

const char* CoNetworkConfig::getConfigFileName() {
  const char* name = std::getenv("QV_NETWORK_CFG_FILE");
  if (name) return name;
  // Present but unreadable still counts: its reader says why.
  struct stat st;
  if (::stat(DEFAULT_CONFIG_FILE, &st) == 0 || (errno != ENOENT && errno != ENOTDIR))
    return DEFAULT_CONFIG_FILE;
  return SYSTEM_CONFIG_FILE;
}

void CoNetworkConfig::load() {
  _parser = std::make_unique<CoConfigFileReader>();
  warned_.clear();
  const char* file = getConfigFileName();
  struct stat st;
  if (::stat(file, &st) != 0 && errno == ENOENT) return;
  // Bad lines are skipped by the reader, which names each of them.
  const int error = _parser->read(file, 0);
  if (error == 0) return;
  const int line = _parser->getErrorLine();
  _parser = std::make_unique<CoConfigFileReader>();
  if (error == CoConfigFileReader::LINE_TOO_LONG)
    CO_POST_WARNING(
        "Could not read network configuration file %s: line %d is longer than %d "
        "bytes; using defaults",
        file, line, static_cast<int>(CoConfigFileReader::MAX_LINE));
  else
    CO_POST_WARNING("Could not read network configuration file %s: %s; using defaults", file,
                    std::strerror(error));
}

}  // namespace Kestrix
