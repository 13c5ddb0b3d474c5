// The directory walk of CoAbstractFileScanner on Windows: FindFirstFileW and
// FindNextFileW over the pattern "<directory>/*.*".

#include <windows.h>

#include <memory>
#include <string>

#include "common/base/fileUtil/CoAbstractFileScanner.h"
#include "common/base/fileUtil/CoWideText.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {
namespace {

struct FindCloser {
  void operator()(HANDLE listing) const { ::FindClose(listing); }
};

}  // namespace

void CoAbstractFileScanner::scanDir(const CoFilePath& directory, const CoFilePath& start,
                                    const CoFilePath& relative, const Options& options) {
  CoFilePath pattern(directory);
  pattern.concatenate("*.*");
  if (scanDebug()) CO_POST_DEBUG("Scanning for files in '%s'", pattern.path());
  WIN32_FIND_DATAW data;
  HANDLE first = ::FindFirstFileW(coWideText(pattern.path()).c_str(), &data);
  // Only the root of a drive lists nothing at all when it is empty.
  bool more = first != INVALID_HANDLE_VALUE;
  if (!more && ::GetLastError() != ERROR_FILE_NOT_FOUND)
    CO_THROW("Invalid path", "'%s'", pattern.path());
  const std::unique_ptr<void, FindCloser> listing(more ? first : nullptr);

  if (options.includeStart) {
    const CoFilePath& file = directory;
    QV_ASSERT(file.isDirectory());
    if (!filterSkipFile(directory)) scanFile(directory, start, relative);
  }

  Options below = options;
  --below.depth;
  while (more && !checkAbort()) {
    const std::string name = coUtf8Text(data.cFileName);
    more = ::FindNextFileW(listing.get(), &data);
    if (!more && ::GetLastError() != ERROR_NO_MORE_FILES)
      CO_THROW("Cannot read directory.", "'%s'", directory.path());
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
