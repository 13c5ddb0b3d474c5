#pragma once
// The names in one directory, one at a time, in the system's order ("." and
// ".." included where the system lists them), so that the directory walk
// of CoAbstractFileScanner is written once.

#include <memory>
#include <string>

#include "common/base/fileUtil/CoFilePath.h"

namespace Kestrix {

class CoDirListing {
 public:
  // Throws "Invalid path" naming pattern (directory/"*.*") when directory
  // cannot be listed.
  CoDirListing(const CoFilePath& directory, const CoFilePath& pattern);
  ~CoDirListing();
  CoDirListing(const CoDirListing&) = delete;
  CoDirListing& operator=(const CoDirListing&) = delete;

  // True once the listing is known to hold no further name; some systems
  // know that only when next() finds none.
  bool atEnd() const;
  // The next name, false after the last one. Throws "Cannot read directory."
  // when the system fails to list the rest.
  bool next(std::string& name);

 private:
  struct State;
  std::unique_ptr<State> state_;
  CoFilePath directory_;
};

}  // namespace Kestrix
