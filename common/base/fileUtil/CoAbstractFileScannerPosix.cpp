// The directory walk of CoAbstractFileScanner on POSIX systems.

#include <dirent.h>

#include <cerrno>
#include <memory>

#include "common/base/fileUtil/CoAbstractFileScanner.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

void CoAbstractFileScanner::scanDir(const CoFilePath& directory, const CoFilePath& start,
                                    const CoFilePath& relative, const Options& options) {
  // The pattern only names the listing in messages; readdir lists all.
  CoFilePath pattern(directory);
  pattern.concatenate("*.*");
  if (scanDebug()) CO_POST_DEBUG("Scanning for files in '%s'", pattern.path());
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.path()), ::closedir);
  if (!dir) CO_THROW("Invalid path", "'%s'", pattern.path());

  if (options.includeStart) {
    const CoFilePath& file = directory;
    QV_ASSERT(file.isDirectory());
    if (!filterSkipFile(directory)) scanFile(directory, start, relative);
  }

  Options below = options;
  --below.depth;
  while (!checkAbort()) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) CO_THROW("Cannot read directory.", "'%s'", directory.path());
      return;
    }
    const char* name = entry->d_name;
    if (name[0] == '.') {
      const bool dotOrDotDot = name[1] == '\0' || (name[1] == '.' && name[2] == '\0');
      if (dotOrDotDot || !options.includeHidden) continue;
    }
    CoFilePath full(directory);
    full.concatenate(name);
    CoFilePath rel(relative);
    rel.concatenate(name);
    if (filterSkipFile(full)) continue;
    if (options.depth >= 1 && full.isDirectory())
      scanDir(full, start, rel, below);
    else
      scanFile(full, start, rel);
  }
}

}  // namespace Kestrix
