#pragma once
// The text of the last error of one object, for objects that must keep
// going after a failure (network configuration, dispatchers). Errors are
// posted through the message router unless the logger is silent; the filter
// level is not consulted. Not thread-safe: the owner serialises access.
//
//   lastErr_.setModule(__FILE__, __LINE__).postError("bad key '%s'", key);

#include <memory>
#include <string>

namespace Kestrix {

class CoLastErrLogger {
 public:
  CoLastErrLogger() = default;
  explicit CoLastErrLogger(bool silent);
  CoLastErrLogger(const CoLastErrLogger& other);
  CoLastErrLogger(CoLastErrLogger&& other) noexcept = default;
  CoLastErrLogger& operator=(const CoLastErrLogger& other);
  CoLastErrLogger& operator=(CoLastErrLogger&& other) noexcept = default;
  virtual ~CoLastErrLogger();

  const CoLastErrLogger& setModule(const char* file, int line) const;
  void postError(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  const char* lastError() const;
  bool hasError() const;
  void clearLastError() const;
  void assignError(const CoLastErrLogger& other) const;
  void setSilentMode(bool silent) const;
  bool getSilentMode() const;

 private:
  struct Record {
    std::string module;
    std::string lastError;
    bool silent = false;
    int line = 0;
  };
  Record& record() const;

  mutable std::unique_ptr<Record> rec_;
};

}  // namespace Kestrix
