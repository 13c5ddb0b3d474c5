#pragma once
// One request line of the remote-call protocol:
//   kind SP object-id SP method SP escaped-parameters LF
// with kind "sync" (a reply line follows) or "async". The parser takes the
// line as it arrives, a byte or a run of bytes at a time, without keeping
// the raw line; the server parses requests with the same record.

#include <cstddef>
#include <string>

#include "common/base/rcApi/CoStringBuilder.h"
#include "common/base/rcApi/rcValue.h"

namespace Kestrix {

class rcCommand {
 public:
  enum Kind { SYNC = 0, ASYNC = 1 };
  // "sync", "async", or "unknown" for any other value.
  static const char* kindToString(int kind);

  rcCommand() : kind_(256), objectId_(256), method_(256) {}
  virtual ~rcCommand() = default;

  // Fills the record for sending.
  void set(int kind, int objectId, const char* method, const char* params);

  // Feeds one byte; true when it ends the line (the LF is not stored).
  bool parse(char c) {
    if (c == '\n') return true;
    switch (state_) {
      case 0:
        if (c == ' ')
          state_ = 1;
        else
          kind_ += c;
        break;
      case 1:
        if (c == ' ')
          state_ = 2;
        else
          objectId_ += c;
        break;
      case 2:
        if (c == ' ')
          state_ = 3;
        else
          method_ += c;
        break;
      default:
        params_.appendEscapedChar(c);
        break;
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
  // Appends the line that set() and serialize() would give, without keeping
  // a copy of the parameters: a large request is escaped straight from the
  // caller's text.
  static void serialize(int kind, int objectId, const char* method, const char* params,
                        std::string& out);

  const char* getKind() const { return kind_.c_str(); }
  const char* getObjectId() const { return objectId_.c_str(); }
  const char* getMethod() const { return method_.c_str(); }
  const rcValue& getParams() const { return params_; }
  bool isAsync() const { return kind_.view() == "async"; }
  int getState() const { return state_; }

 private:
  CoStringBuilder kind_;
  CoStringBuilder objectId_;
  CoStringBuilder method_;
  rcValue params_;
  int state_ = 0;
};

}  // namespace Kestrix
