#pragma once
// One reply line of the remote-call protocol:
//   status SP escaped-value LF
// with status "ok" on success and "error" (the value is then the error
// text) on failure. A reply succeeds only when its status is exactly "ok".

#include <cstddef>
#include <string>

#include "common/base/rcApi/CoStringBuilder.h"
#include "common/base/rcApi/rcValue.h"

namespace Kestrix {

class rcResult {
 public:
  enum Status { OK = 0, ERROR = 1 };
  // "ok", "error", or "unknown" for any other value.
  static const char* statusToString(int status);

  rcResult() = default;
  virtual ~rcResult() = default;

  void set(int status, const char* value);

  // Feeds one byte; true when it ends the line (the LF is not stored).
  bool parse(char c) {
    if (c == '\n') return true;
    if (state_ == 0) {
      if (c == ' ')
        state_ = 1;
      else
        status_ += c;
    } else {
      value_.appendEscapedChar(c);
    }
    return false;
  }
  // Feeds up to n bytes, stopping after the LF that ends the line; returns
  // the number of bytes taken and sets complete when the line ended.
  size_t parse(const char* data, size_t n, bool& complete);
  void reset();

  // Appends the line, LF included, to out.
  void serialize(CoStringBuilder& out) const;
  void serialize(std::string& out) const;
  std::string toString() const;
  // Appends the line of a reply with that status and value, escaping the
  // value straight from the caller's text.
  static void serialize(int status, const std::string& value, std::string& out);

  const std::string& getStatus() const { return status_; }
  // Moves the value decoded so far to the end of out (see rcValue::moveTo).
  void takeValue(std::string& out) { value_.moveTo(out); }
  bool isOk() const { return status_ == "ok"; }
  const rcValue& getValue() const { return value_; }

 private:
  std::string status_;
  rcValue value_;
  int state_ = 0;
};

}  // namespace Kestrix
