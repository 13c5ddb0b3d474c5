// FindFirstFileW and FindNextFileW over the pattern "<directory>/*.*".

#include <windows.h>

#include "common/base/fileUtil/CoDirListing.h"
#include "common/base/fileUtil/CoWideText.h"
#include "common/base/loggerBase/CoException.h"

namespace Kestrix {

struct CoDirListing::State {
  HANDLE listing = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  bool more = false;
};

CoDirListing::CoDirListing(const CoFilePath& directory, const CoFilePath& pattern)
    : state_(new State), directory_(directory) {
  state_->listing = ::FindFirstFileW(coWideText(pattern.path()).c_str(), &state_->data);
  // Only the root of a drive lists nothing at all when it is empty.
  state_->more = state_->listing != INVALID_HANDLE_VALUE;
  if (!state_->more && ::GetLastError() != ERROR_FILE_NOT_FOUND)
    CO_THROW("Invalid path", "'%s'", pattern.path());
}

CoDirListing::~CoDirListing() {
  if (state_->listing != INVALID_HANDLE_VALUE) ::FindClose(state_->listing);
}

bool CoDirListing::atEnd() const {
  return !state_->more;
}

// The system hands out a name with the listing's first or previous step, so
// the step to the one after is taken here; its failure ends the walk before
// the name is used.
bool CoDirListing::next(std::string& name) {
  if (!state_->more) return false;
  name = coUtf8Text(state_->data.cFileName);
  state_->more = ::FindNextFileW(state_->listing, &state_->data);
  if (!state_->more && ::GetLastError() != ERROR_NO_MORE_FILES)
    CO_THROW("Cannot read directory.", "'%s'", directory_.path());
  return true;
}

}  // namespace Kestrix
