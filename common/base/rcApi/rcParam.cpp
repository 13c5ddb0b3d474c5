#include "common/base/rcApi/rcParam.h"

#include <cstdio>
#include <cstring>

#include "common/base/osal/StringUtil.h"
#include "common/base/rcApi/rcNumberText.h"
#include "common/base/osal/CoMemory.h"

namespace Kestrix {

const rcParam::Type& rcParamVoid::getType() {
  static const VoidType type;
  return type;
}
const rcParam::Type& rcParamInt::getType() {
  static const IntType type;
  return type;
}
const rcParam::Type& rcParamLong::getType() {
  static const LongType type;
  return type;
}
const rcParam::Type& rcParamFloat::getType() {
  static const FloatType type;
  return type;
}
const rcParam::Type& rcParamBool::getType() {
  static const BoolType type;
  return type;
}
const rcParam::Type& rcParamString::getType() {
  static const StringType type;
  return type;
}

void rcParamInt::setStringValue(const char* text) {
  value_ = rcNumberText::toInt(text);
}

std::string rcParamInt::stringValue() const {
  return std::to_string(value_);
}

void rcParamLong::setStringValue(const char* text) {
  value_ = rcNumberText::toInt(text);
}

std::string rcParamLong::stringValue() const {
  return std::to_string(value_);
}

void rcParamFloat::setStringValue(const char* text) {
  value_ = static_cast<float>(rcNumberText::toDouble(text));
}

std::string rcParamFloat::stringValue() const {
  char buf[512];  // "%f" of FLT_MAX takes 46 characters
  const int n = std::snprintf(buf, sizeof buf, "%f", static_cast<double>(value_));
  return std::string(buf, n < 0 ? 0 : static_cast<size_t>(n));
}

void rcParamBool::setStringValue(const char* text) {
  value_ = StringUtil::strToBool(text);
}

// ------------------------------------------------------------------- Array

rcParam::Array::Array(const Info* list, const char* text) {
  for (const Info* info = list; info != nullptr && info->type != nullptr; ++info)
    params_.push_back(info->type->alloc());
  if (text != nullptr) split(text);
}

rcParam::Array::~Array() {
  for (rcParam* p : params_) delete p;
}

void rcParam::Array::split(const char* text) {
  const size_t count = params_.size();
  if (count == 0) return;
  if (count == 1) {
    params_[0]->setStringValue(std::string(text));
    return;
  }
  std::string current;
  // Room for the longest parameter up front: a long last parameter would
  // otherwise be copied at every doubling. Only what is written is touched.
  current.reserve(std::strlen(text));
  CoMemory::adviseLarge(current.data(), current.capacity());
  size_t index = 0;
  bool inQuotes = false;
  char previous = text[0];
  for (const char* p = text;; ++p) {
    // Bytes that are simply copied go over in one run.
    const char* const run = p;
    p += std::strcspn(p, inQuotes ? "\"" : "\" ");
    if (p != run) {
      current.append(run, static_cast<size_t>(p - run));
      previous = p[-1];
    }
    const char c = *p;
    if (c == '\0') {
      params_[index]->setStringValue(std::move(current));
      return;
    }
    char seen = c;
    if (c == '"' && previous == '\\') {
      current += c;
    } else if (c == '"') {
      inQuotes = !inQuotes;
      if (!inQuotes) seen = ' ';  // a closing quote ends a word like a space
    } else {  // a space outside quotes
      params_[index]->setStringValue(current);
      current.clear();
      if (++index == count) return;
    }
    previous = seen;
  }
}

// ---------------------------------------------------------------- escaping

rcParamStringToEscapedString::rcParamStringToEscapedString(const char* text) {
  if (text == nullptr) return;
  const size_t n = std::strlen(text);
  escaped_.reserve(n + n / 8 + 2);
  escaped_ += '"';
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '"' || *p == '\\') escaped_ += '\\';
    escaped_ += *p;
  }
  escaped_ += '"';
}

rcParamEscapedStringToString::rcParamEscapedStringToString(const char* escaped) {
  if (escaped == nullptr) return;
  const size_t n = std::strlen(escaped);
  text_.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const char c = escaped[i];
    if (c == '"' && (i == 0 || i == n - 1)) continue;
    if (c == '\\') {
      if (++i == n) break;
      text_ += escaped[i];
      continue;
    }
    text_ += c;
  }
}

}  // namespace Kestrix
