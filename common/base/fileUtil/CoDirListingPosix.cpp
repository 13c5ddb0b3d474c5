#include <dirent.h>

#include <cerrno>

#include "common/base/fileUtil/CoDirListing.h"
#include "common/base/loggerBase/CoException.h"

namespace Kestrix {

struct CoDirListing::State {
  DIR* dir = nullptr;
};

// The pattern only names the listing in messages; readdir lists all.
CoDirListing::CoDirListing(const CoFilePath& directory, const CoFilePath& pattern)
    : state_(new State), directory_(directory) {
  state_->dir = ::opendir(directory.path());
  if (state_->dir == nullptr) CO_THROW("Invalid path", "'%s'", pattern.path());
}

CoDirListing::~CoDirListing() {
  if (state_->dir != nullptr) ::closedir(state_->dir);
}

bool CoDirListing::atEnd() const {
  return false;
}

bool CoDirListing::next(std::string& name) {
  errno = 0;
  const dirent* entry = ::readdir(state_->dir);
  if (entry == nullptr) {
    if (errno != 0) CO_THROW("Cannot read directory.", "'%s'", directory_.path());
    return false;
  }
  name = entry->d_name;
  return true;
}

}  // namespace Kestrix
