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
  return i + params_.appendEscapedLine(data + i, n - i, complete);
}

void rcCommand::reset() {
  kind_.clear();
  objectId_.clear();
  method_.clear();
  params_.clear();
  state_ = 0;
}

void rcCommand::serialize(CoStringBuilder& out) const {
  out.append(kind_.data(), kind_.length());
  out += ' ';
  out.append(objectId_.data(), objectId_.length());
  out += ' ';
  out.append(method_.data(), method_.length());
  out += ' ';
  params_.appendEscapedValue(out);
  out += '\n';
}

void rcCommand::serialize(std::string& out) const {
  out.append(kind_.view());
  out += ' ';
  out.append(objectId_.view());
  out += ' ';
  out.append(method_.view());
  out += ' ';
  params_.appendEscapedValue(out);
  out += '\n';
}

void rcCommand::serialize(int kind, int objectId, const char* method, const char* params,
                          std::string& out) {
  out.append(kindToString(kind));
  out += ' ';
  out.append(std::to_string(objectId));
  out += ' ';
  out.append(method);
  out += ' ';
  rcValue::appendEscaped(params, std::strlen(params), out);
  out += '\n';
}

std::string rcCommand::toString() const {
  std::string out;
  serialize(out);
  return out;
}

}  // namespace Kestrix
