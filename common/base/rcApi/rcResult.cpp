#include "common/base/rcApi/rcResult.h"

namespace Kestrix {

const char* rcResult::statusToString(int status) {
  switch (status) {
    case OK:
      return "ok";
    case ERROR:
      return "error";
    default:
      return "unknown";
  }
}

void rcResult::set(int status, const char* value) {
  status_ = statusToString(status);
  value_.setValue(value);
  state_ = 0;
}

size_t rcResult::parse(const char* data, size_t n, bool& complete) {
  complete = false;
  size_t i = 0;
  while (i < n && state_ == 0) {
    if (parse(data[i++])) {
      complete = true;
      return i;
    }
  }
  if (i == n) return i;
  return i + value_.appendEscapedLine(data + i, n - i, complete);
}

void rcResult::reset() {
  status_.clear();
  value_.clear();
  state_ = 0;
}

void rcResult::serialize(CoStringBuilder& out) const {
  out += status_;
  out += ' ';
  value_.appendEscapedValue(out);
  out += '\n';
}

void rcResult::serialize(std::string& out) const {
  out += status_;
  out += ' ';
  value_.appendEscapedValue(out);
  out += '\n';
}

void rcResult::serialize(int status, const std::string& value, std::string& out) {
  out.append(statusToString(status));
  out += ' ';
  rcValue::appendEscaped(value.data(), value.size(), out);
  out += '\n';
}

std::string rcResult::toString() const {
  std::string out;
  serialize(out);
  return out;
}

}  // namespace Kestrix
