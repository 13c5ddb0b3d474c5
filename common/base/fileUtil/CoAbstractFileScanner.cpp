#include "common/base/fileUtil/CoAbstractFileScanner.h"

#include <strings.h>

#include <string>
#include <typeinfo>
#include <utility>

#include "common/base/fileUtil/CoDirListing.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {
namespace {

// Two variables share the name: the first traces filter decisions, the
// second the directories walked. Defined in this order, registered in it.
EnvVar<bool>& filterDebugVar() {
  static EnvVar<bool> v("QV_CO_FILE_SCANNER_DEBUG", false);
  return v;
}
RegEnvVar<bool> gRegFilterDebug(filterDebugVar());

EnvVar<bool>& scanDebugVar() {
  static EnvVar<bool> v("QV_CO_FILE_SCANNER_DEBUG", false);
  return v;
}
RegEnvVar<bool> gRegScanDebug(scanDebugVar());

bool keeps(bool matches, CoAbstractFileScanner::MatchType matchType) {
  return matchType == CoAbstractFileScanner::MATCH_INCLUDE ? matches : !matches;
}

}  // namespace

bool CoAbstractFileScanner::filterDebug() {
  return filterDebugVar().get();
}
bool CoAbstractFileScanner::scanDebug() {
  return scanDebugVar().get();
}

CoAbstractFileScanner::ExtensionFilter::ExtensionFilter(const char* extension, MatchType matchType)
    : ExtensionFilter(&extension, 1, matchType) {}

CoAbstractFileScanner::ExtensionFilter::ExtensionFilter(const char** extensions, size_t count,
                                                        MatchType matchType)
    : matchType_(matchType) {
  for (size_t i = 0; i < count; ++i) {
    const char* extension = extensions[i];
    QV_ASSERT(extension);
    if (extension) extensions_.emplace_back(extension);
  }
}

CoAbstractFileScanner::ExtensionFilter::ExtensionFilter(std::vector<std::string> extensions,
                                                        MatchType matchType)
    : extensions_(std::move(extensions)), matchType_(matchType) {}

bool CoAbstractFileScanner::ExtensionFilter::filter(const CoFilePath& path) const {
  if (path.isDirectory()) return true;
  const char* ext = path.extension();
  bool matches = false;
  for (const std::string& candidate : extensions_)
    if (strcasecmp(candidate.c_str(), ext) == 0) matches = true;
  return keeps(matches, matchType_);
}

bool CoAbstractFileScanner::TypeFilter::filter(const CoFilePath& path) const {
  const CoFilePath::Type type = path.isDirectory() ? CoFilePath::TYPE_DIRECTORY
                                : path.isFile()    ? CoFilePath::TYPE_FILE
                                                   : CoFilePath::TYPE_UNKNOWN;
  return keeps(type == type_, matchType_);
}

CoAbstractFileScanner::~CoAbstractFileScanner() = default;

void CoAbstractFileScanner::addFilter(const Filter& filter) {
  filters_.emplace_back(filter.clone());
}

void CoAbstractFileScanner::scan(const CoFilePath& directory, const Options& options) {
  scanDir(directory, directory, CoFilePath(), options);
}

bool CoAbstractFileScanner::filterSkipFile(const CoFilePath& path) const {
  const bool debug = filterDebug();
  if (debug) CO_POST_USER("Checking '%s'", path.path());
  for (const auto& filter : filters_) {
    if (filter->filter(path)) continue;
    const auto& rejecting = *filter;
    if (debug) CO_POST_USER("Filter '%s' rejected '%s'", typeid(rejecting).name(), path.path());
    return true;
  }
  return false;
}

void CoAbstractFileScanner::scanDir(const CoFilePath& directory, const CoFilePath& start,
                                    const CoFilePath& relative, const Options& options) {
  CoFilePath pattern(directory);
  pattern.concatenate("*.*");
  if (scanDebug()) CO_POST_DEBUG("Scanning for files in '%s'", pattern.path());
  CoDirListing listing(directory, pattern);

  if (options.includeStart) {
    QV_ASSERT(directory.isDirectory());
    if (!filterSkipFile(directory)) scanFile(directory, start, relative);
  }

  Options below = options;
  --below.depth;
  std::string name;
  while (!listing.atEnd() && !checkAbort()) {
    if (!listing.next(name)) return;
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
