#pragma once
// The text of a parameter block or a result as it travels on one protocol
// line. The text is kept plain; its wire form writes LF as "\n", TAB as
// "\t" and a backslash as "\\", so a line never holds a LF of its own.
// appendEscapedChar decodes the wire form one byte at a time.

#include <cstddef>
#include <string>

#include "common/base/rcApi/CoStringBuilder.h"

namespace Kestrix {

class rcValue {
 public:
  rcValue() : value_(256) {}
  virtual ~rcValue() = default;

  void setValue(const char* text) {
    value_.setValue(text);
    pending_ = false;
  }
  void setValue(const std::string& text) {
    value_.setValue(text);
    pending_ = false;
  }
  const char* value() const { return value_.c_str(); }
  size_t length() const { return static_cast<size_t>(value_.length()); }
  std::string_view view() const { return value_.view(); }
  void clear() {
    value_.clear();
    pending_ = false;
  }

  // Decodes one wire byte.
  void appendEscapedChar(char c) {
    if (pending_) {
      pending_ = false;
      value_ += c == 'n' ? '\n' : c == 't' ? '\t' : c;
      return;
    }
    if (c == '\\') {
      pending_ = true;
      return;
    }
    value_ += c;
  }
  // Decodes wire bytes up to the LF that ends the line, as feeding them to
  // appendEscapedChar one by one would; returns the bytes taken, the LF
  // included, and sets ended when it was found.
  size_t appendEscapedLine(const char* data, size_t n, bool& ended);

  std::string escapedValue() const;
  // Appends the wire form to out.
  void appendEscapedValue(CoStringBuilder& out) const;
  void appendEscapedValue(std::string& out) const;
  // Moves the text decoded so far to the end of out, keeping a pending
  // backslash, so that a long line can be handed on while it arrives.
  void moveTo(std::string& out) {
    out.append(value_.data(), static_cast<size_t>(value_.length()));
    value_.clear();
  }
  // The wire form of any n bytes of plain text, appended to out.
  static void appendEscaped(const char* text, size_t n, std::string& out);

 private:
  CoStringBuilder value_;
  bool pending_ = false;
};

}  // namespace Kestrix
