#include "common/base/fileUtil/CoFileScanner.h"

#include <algorithm>

#include "common/base/osal/StringUtil.h"

namespace Kestrix {
namespace {

int natural(const std::string& a, const std::string& b) {
  return StringUtil::alphaNumCompare(a, b, false);
}

int alphabetical(const std::string& a, const std::string& b) {
  return a.compare(b);
}

// Orders by a first key, then a second, with one comparison.
template <typename Compare>
bool before(const std::string& a1, const std::string& b1, const std::string& a2,
            const std::string& b2, Compare compare) {
  const int first = compare(a1, b1);
  if (first != 0) return first < 0;
  return compare(a2, b2) < 0;
}

}  // namespace

void CoFileScanner::scan(const CoFilePath& directory, const Options& options) {
  paths_.clear();
  CoAbstractFileScanner::scan(directory, options);
}

void CoFileScanner::scanFile(const CoFilePath& path, const CoFilePath&,
                             const CoFilePath& relative) {
  paths_.push_back(flags_.isSet(RELATIVE_PATHS) ? relative : path);
}

void CoFileScanner::sort(const Predicate& predicate) {
  std::sort(paths_.begin(), paths_.end(), predicate);
}

bool CoFileScanner::alphabeticalSorter(const CoFilePath& a, const CoFilePath& b) {
  return before(a.directoryName(), b.directoryName(), a.baseName(), b.baseName(), alphabetical);
}

bool CoFileScanner::alphabeticalBaseNameSorter(const CoFilePath& a, const CoFilePath& b) {
  return before(a.baseName(), b.baseName(), a.directoryName(), b.directoryName(), alphabetical);
}

bool CoFileScanner::naturalSorter(const CoFilePath& a, const CoFilePath& b) {
  return before(a.directoryName(), b.directoryName(), a.baseName(), b.baseName(), natural);
}

bool CoFileScanner::naturalBaseNameSorter(const CoFilePath& a, const CoFilePath& b) {
  return before(a.baseName(), b.baseName(), a.directoryName(), b.directoryName(), natural);
}

bool CoFileScanner::alphabeticalSorterStr(const std::string& a, const std::string& b) {
  return alphabetical(a, b) < 0;
}

bool CoFileScanner::naturalSorterStr(const std::string& a, const std::string& b) {
  return natural(a, b) < 0;
}

}  // namespace Kestrix
