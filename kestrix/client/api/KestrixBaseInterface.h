#pragma once
// The base of the client APIs: the text of the last failure, and the
// conversions between the locale's character set and UTF-8. Beside it,
// KestrixTokenizer, which splits a reply in place at one separator.

#include <string>

class KestrixBaseInterface {
 public:
  KestrixBaseInterface() = default;
  KestrixBaseInterface(const KestrixBaseInterface&) = default;
  KestrixBaseInterface& operator=(const KestrixBaseInterface&) = default;
  virtual ~KestrixBaseInterface() = default;

  const std::string& lastError() const { return lastError_; }
  void setLastError(const std::string& text) { lastError_ = text; }

  // Text of the current character-type locale as UTF-8 (unchanged when the
  // locale is UTF-8 already).
  static std::string localeToUTF8(const char* text);
  // The reverse, in place.
  static void utf8ToLocale(std::string& text);

 private:
  std::string lastError_;
};

// Splits a writable text in place: each piece is terminated where its
// separator stood, and the separator is written back on the next call, so
// the text is whole again after the last piece.
class KestrixTokenizer {
 public:
  KestrixTokenizer(char* input, char separator);
  KestrixTokenizer(const KestrixTokenizer&) = delete;
  KestrixTokenizer& operator=(const KestrixTokenizer&) = delete;

  // The next piece, empty pieces included (a text ending in the separator
  // gives a final empty piece); null when done, and at once for "".
  const char* getNext();
  // The length of the piece getNext() gave last.
  unsigned lastLength() const { return pos_ - start_; }

 private:
  char* input_;
  char separator_;
  unsigned start_ = 0;
  unsigned pos_ = 0;
  bool finished_ = false;
  bool started_ = false;
};
