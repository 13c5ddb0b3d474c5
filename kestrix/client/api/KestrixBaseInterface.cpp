#include "kestrix/client/api/KestrixBaseInterface.h"

#include <cstring>

#include "common/base/loggerBase/qvAssert.h"

KestrixTokenizer::KestrixTokenizer(char* input, char separator)
    : input_(input), separator_(separator) {
  QV_ASSERT(input_);
}

const char* KestrixTokenizer::getNext() {
  if (finished_ || input_ == nullptr) return nullptr;
  if (started_) {
    input_[pos_] = separator_;
    ++pos_;
  } else {
    started_ = true;
    if (input_[0] == '\0') {
      finished_ = true;
      return nullptr;
    }
  }
  start_ = pos_;
  char* found = std::strchr(input_ + pos_, separator_);
  if (found == nullptr) found = input_ + pos_ + std::strlen(input_ + pos_);
  pos_ = static_cast<unsigned>(found - input_);
  if (*found == '\0') {
    finished_ = true;
    return input_ + start_;
  }
  *found = '\0';
  return input_ + start_;
}
