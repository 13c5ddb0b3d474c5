#pragma once
// The library's exception: where it was raised, a short text for users and
// an optional expert text for whoever debugs the failure.
//
// Raised in one statement:
//   CoException(__LINE__, __FILE__).fire("Connection refused", "connect to %s", host);
// Texts are kept in fixed arrays so that copying an exception never allocates.

#include <cstdarg>
#include <exception>

namespace Kestrix {

class CoException : public std::exception {
 public:
  static constexpr int FILE_NAME_SIZE = 128;
  static constexpr int MESSAGE_SIZE = 1600;

  CoException(int line, const char* file);
  CoException(const char* what, int line, const char* file);
  CoException(const CoException&) = default;
  CoException& operator=(const CoException&) = default;
  ~CoException() override = default;

  // Sets the message and expert data, then throws a copy of this object.
  [[noreturn]] void fire(const char* what, const char* expertFormat, ...)
      __attribute__((format(printf, 3, 4)));

  const char* what() const noexcept override { return message_; }
  const char* expertData() const { return message_ + expertOffset_; }
  const char* fileName() const { return fileName_; }
  int lineNumber() const { return lineNumber_; }

  static void enableVerboseExceptions(bool on);
  static bool verboseExceptions();

 protected:
  void setWhat(const char* what, const char* expertFormat, va_list args);
  void setWhat(const char* what, const char* expertFormat, ...)
      __attribute__((format(printf, 3, 4)));

 private:
  char fileName_[FILE_NAME_SIZE];
  char message_[MESSAGE_SIZE];
  int lineNumber_;
  int expertOffset_;
};

}  // namespace Kestrix

// Throws a CoException raised at the calling statement.
#define CO_THROW(...) ::Kestrix::CoException(__LINE__, __FILE__).fire(__VA_ARGS__)
