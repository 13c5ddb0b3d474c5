#pragma once
// CoFileScanner collects the entries a directory walk accepts into a list
// of paths, full or relative to the start directory, and sorts that list.
//
//   CoFileScanner scanner(CoFileScanner::RELATIVE_PATHS);
//   scanner.addFilter(CoAbstractFileScanner::ExtensionFilter("cfg", MATCH_INCLUDE));
//   scanner.scan("/etc", CoAbstractFileScanner::Options(1));
//   scanner.sort(CoFileScanner::naturalSorter);

#include <functional>
#include <string>
#include <vector>

#include "common/base/fileUtil/CoAbstractFileScanner.h"
#include "common/base/fileUtil/CoFilePath.h"
#include "common/base/fileUtil/EnumBits.h"

namespace Kestrix {

class CoFileScanner : public CoAbstractFileScanner {
 public:
  enum Flags : uint32_t {
    RELATIVE_PATHS = 1  // store paths relative to the start directory
  };
  using Predicate = std::function<bool(const CoFilePath&, const CoFilePath&)>;

  explicit CoFileScanner(const EnumBits<Flags>& flags = EnumBits<Flags>()) : flags_(flags) {}

  // Empties the list, then walks.
  void scan(const CoFilePath& directory, const Options& options) override;
  const std::vector<CoFilePath>& getPaths() const { return paths_; }
  void clear() { paths_.clear(); }
  void sort(const Predicate& predicate);

  // Directory names first, then base names; byte-wise.
  static bool alphabeticalSorter(const CoFilePath& a, const CoFilePath& b);
  // Base names first, then directory names; byte-wise.
  static bool alphabeticalBaseNameSorter(const CoFilePath& a, const CoFilePath& b);
  // As above, "file2" before "file10", any letter case.
  static bool naturalSorter(const CoFilePath& a, const CoFilePath& b);
  static bool naturalBaseNameSorter(const CoFilePath& a, const CoFilePath& b);
  static bool alphabeticalSorterStr(const std::string& a, const std::string& b);
  static bool naturalSorterStr(const std::string& a, const std::string& b);

 protected:
  void scanFile(const CoFilePath& path, const CoFilePath& start,
                const CoFilePath& relative) override;

 private:
  EnumBits<Flags> flags_;
  std::vector<CoFilePath> paths_;
};

}  // namespace Kestrix
