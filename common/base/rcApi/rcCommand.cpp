#include "common/base/rcApi/rcCommand.h"

#include <cstring>

namespace Kestrix {

const char* rcCommand::kindToString(int kind) {
  switch (kind) {
    case SYNC:
      return "sync";
    case ASYNC:
      return "async";
    default:
      return "unknown";
  }
}

void rcCommand::set(int kind, int objectId, const char* method, const char* params) {
  kind_ = kindToString(kind);
  objectId_.setValue(std::to_string(objectId));
  method_ = method;
  params_.setValue(params);
  state_ = 0;
}

size_t rcCommand::parse(const char* data, size_t n, bool& complete) {
  complete = false;
  size_t i = 0;
  while (i < n && state_ < 3) {
    if (parse(data[i++])) {
      complete = true;
      return i;
    }
  }
  if (i == n) return i;
  // The parameters: whole runs up to the LF.
  const char* lf = static_cast<const char*>(std::memchr(data + i, '\n', n - i));
  const size_t runEnd = lf != nullptr ? static_cast<size_t>(lf - data) : n;
  params_.appendEscaped(data + i, runEnd - i);
  if (lf == nullptr) return n;
  complete = true;
  return runEnd + 1;
}

void rcCommand::reset() {
  kind_.clear();
  objectId_.clear();
  method_.clear();
  params_.clear();
  state_ = 0;
}

void rcCommand::serialize(std::string& out) const {
  out.reserve(out.size() + kind_.length() + objectId_.length() + method_.length() +
              params_.length() + params_.length() / 10 + 4);
  out.append(kind_.view());
  out += ' ';
  out.append(objectId_.view());
  out += ' ';
  out.append(method_.view());
  out += ' ';
  params_.appendEscapedValue(out);
  out += '\n';
}

std::string rcCommand::toString() const {
  std::string out;
  serialize(out);
  return out;
}

}  // namespace Kestrix
