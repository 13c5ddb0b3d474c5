#pragma once
// Every diagnostic the library prints goes through CoMsg: a level, a
// process-wide filter that drops messages before they are formatted, and a
// replaceable Router that writes the lines.
//
// Post from a statement with its file and line:
//   CO_POST_ERROR("Could not open '%s'", path);
// which is CoMsgBuilder<0>(__FILE__, __LINE__, CoMsg::postError)(...).

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Kestrix {
namespace CoMsg {

enum Level : int32_t { LEVEL_USER = 0, LEVEL_ERROR = 1, LEVEL_WARN = 2, LEVEL_NOTICE = 3, LEVEL_DEBUG = 4 };

using PostFunction = void (*)(const char* file, int line, const char* family, const char* format,
                              va_list args);

class Msg {
 public:
  explicit Msg(const char* text = "", const char* file = "", int line = 0, Level level = LEVEL_NOTICE,
               const char* family = "");

  const char* getMsg() const { return text_.c_str(); }
  uint32_t getMsgLen() const { return static_cast<uint32_t>(text_.size()); }
  const char* getModule() const { return module_.c_str(); }
  const char* getFamily() const { return family_.c_str(); }
  int32_t getPid() const { return pid_; }
  int32_t getLine() const { return line_; }
  Level getLevel() const { return level_; }
  int64_t getTime() const { return time_; }
  // The full log line, truncated to size - 1 characters.
  char* format(char* buffer, int size) const;

 private:
  std::string text_;
  std::string module_;
  std::string family_;
  int32_t pid_;
  int32_t line_;
  Level level_;
  int64_t time_;
};

class Router {
 public:
  virtual ~Router() = default;
  virtual void post(const Msg& msg) const;
  // A subclass that writes a file names it here.
  virtual const char* logPath() const { return nullptr; }

 protected:
  void post(const Msg& msg, FILE* stream) const;
};

class LevelGuard {
 public:
  explicit LevelGuard(Level level);
  ~LevelGuard();
  LevelGuard(const LevelGuard&) = delete;
  LevelGuard& operator=(const LevelGuard&) = delete;

 private:
  Level saved_;
};

const char* levelToString(Level level);
Level stringToLevel(const char* text);

Level filterLevel();
void setFilterLevel(Level level);
void setDefaultFilterLevel(Level level);
bool verboseFlag();
void setVerboseFlag(bool on);
void enableFamily(bool on);
bool isFamilyEnabled();

const Router* router();
const Router* defaultRouter();
void setRouter(const Router* router);

void setCurrentPIDCallback(int (*callback)());
int callCurrentPIDCallback();

void postUser(const char* file, int line, const char* family, const char* format, va_list args);
void postError(const char* file, int line, const char* family, const char* format, va_list args);
void postWarning(const char* file, int line, const char* family, const char* format, va_list args);
void postNotice(const char* file, int line, const char* family, const char* format, va_list args);
void postDebug(const char* file, int line, const char* family, const char* format, va_list args);
void postConsole(const char* file, int line, const char* family, const char* format, va_list args);
void postShell(const char* file, int line, const char* family, const char* format, va_list args);

// Formats printf-style into a 2048-byte buffer: at most 2047 characters.
std::string formatBody(const char* format, va_list args);
// The module name of a source file path: its base name.
std::string moduleName(const char* file);

}  // namespace CoMsg

class CoMsgBuilderBase {
 public:
  CoMsgBuilderBase() = default;
  CoMsgBuilderBase(const char* file, int line, CoMsg::PostFunction post)
      : file_(file), line_(line), post_(post) {}
  CoMsgBuilderBase(const CoMsgBuilderBase&) = default;
  CoMsgBuilderBase& operator=(const CoMsgBuilderBase&) = default;
  virtual ~CoMsgBuilderBase() = default;

 protected:
  void postV(const char* family, const char* format, va_list args) const {
    if (post_) post_(file_, line_, family, format, args);
  }

  const char* file_ = "<unknown>";
  int line_ = 0;
  CoMsg::PostFunction post_ = nullptr;
};

template <int WithFamily>
class CoMsgBuilder;

template <>
class CoMsgBuilder<0> : public CoMsgBuilderBase {
 public:
  using CoMsgBuilderBase::CoMsgBuilderBase;
  void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    postV("-", format, args);
    va_end(args);
  }
};

template <>
class CoMsgBuilder<1> : public CoMsgBuilderBase {
 public:
  using CoMsgBuilderBase::CoMsgBuilderBase;
  void operator()(const char* family, const char* format, ...) const
      __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, format);
    postV(family, format, args);
    va_end(args);
  }
};

}  // namespace Kestrix

#define CO_POST_(fn) ::Kestrix::CoMsgBuilder<0>(__FILE__, __LINE__, ::Kestrix::CoMsg::fn)
#define CO_POST_USER CO_POST_(postUser)
#define CO_POST_ERROR CO_POST_(postError)
#define CO_POST_WARNING CO_POST_(postWarning)
#define CO_POST_NOTICE CO_POST_(postNotice)
#define CO_POST_DEBUG CO_POST_(postDebug)
#define CO_POST_SHELL CO_POST_(postShell)
