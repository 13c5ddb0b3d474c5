#include "common/base/loggerBase/CoMsg.h"

#include <sys/time.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "common/base/loggerBase/EnvVar.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {
namespace CoMsg {
namespace {

constexpr int kBodySize = 2048;
constexpr int kLineSize = 2176;

void recomputeFilterLevel(void*);

EnvVar<std::string>& levelVar() {
  static EnvVar<std::string> var("QV_MSG_LEVEL", "", recomputeFilterLevel, nullptr);
  return var;
}

EnvVar<bool>& verboseVar() {
  static EnvVar<bool> var("QV_MSG_VERBOSE", false);
  return var;
}

RegEnvVar<std::string> gRegLevel(levelVar());
RegEnvVar<bool> gRegVerbose(verboseVar());

std::atomic<int32_t> gFilterLevel{LEVEL_NOTICE};
std::once_flag gFilterOnce;
std::atomic<bool> gFamilyEnabled{false};
std::atomic<const Router*> gRouter{nullptr};
// Posts under way: setRouter waits for them so a router may be destroyed
// right after it is replaced.
std::atomic<int> gPosting{0};

int zeroPid() { return 0; }
std::atomic<int (*)()> gPidCallback{zeroPid};

Level levelFromVariable() {
  EnvVar<std::string>& var = levelVar();
  if (var.isDefault()) return LEVEL_NOTICE;
  return stringToLevel(var.get().c_str());
}

void recomputeFilterLevel(void*) { gFilterLevel = levelFromVariable(); }

size_t trimmedLength(const char* text, size_t len) {
  while (len > 0 && std::isspace(static_cast<unsigned char>(text[len - 1]))) --len;
  return len;
}

void postFiltered(Level level, const char* file, int line, const char* family, const char* format,
                  va_list args) {
  if (level > filterLevel()) return;
  QV_ASSERT(format != 0);
  if (format == nullptr) return;
  const std::string text = formatBody(format, args);
  struct Posting {
    Posting() { gPosting.fetch_add(1); }
    ~Posting() { gPosting.fetch_sub(1); }
  } posting;
  router()->post(Msg(text.c_str(), file, line, level, family));
}

void postDirect(const char* family, const char* format, va_list args) {
  if (isFamilyEnabled()) std::printf("%s ", family ? family : "");
  if (format) std::vprintf(format, args);
  std::printf("\n");
}

}  // namespace

std::string formatBody(const char* format, va_list args) {
  char body[kBodySize];
  int n = std::vsnprintf(body, sizeof body, format, args);
  if (n < 0) body[0] = '\0';
  return body;
}

std::string moduleName(const char* file) {
  const size_t len = std::strlen(file);
  size_t end = len;
  auto isSep = [](char c) { return c == '/' || c == '\\'; };
  while (end > 0 && isSep(file[end - 1])) --end;
  if (end == 0) {
    if (len == 0) return std::string();
    return std::string(1, isSep(file[0]) ? '\\' : file[0]);
  }
  size_t begin = end;
  while (begin > 0 && !isSep(file[begin - 1])) --begin;
  return std::string(file + begin, end - begin);
}

// ---- Msg -----------------------------------------------------------------

Msg::Msg(const char* text, const char* file, int line, Level level, const char* family)
    : text_(text ? text : ""),
      module_(moduleName(file)),
      family_(family ? family : ""),
      pid_(callCurrentPIDCallback()),
      line_(line),
      level_(level),
      time_(static_cast<int64_t>(std::time(nullptr))) {}

char* Msg::format(char* buffer, int size) const {
  const int n = static_cast<int>(trimmedLength(text_.data(), text_.size()));
  struct tm local;
  const time_t t = static_cast<time_t>(time_);
  localtime_r(&t, &local);
  char date[64];
  char clock[64];
  std::strftime(date, sizeof date, "%x", &local);
  std::strftime(clock, sizeof clock, "%X", &local);
  struct timeval now;
  gettimeofday(&now, nullptr);
  const int ms = static_cast<int>(now.tv_usec / 1000);
  const unsigned pid = static_cast<unsigned>(pid_);
  if (isFamilyEnabled())
    std::snprintf(buffer, static_cast<size_t>(size), "[%s] [%s] %u %s:%d %s:%s.%.3d %.*s\n",
                  levelToString(level_), family_.c_str(), pid, module_.c_str(), line_, date, clock,
                  ms, n, text_.c_str());
  else
    std::snprintf(buffer, static_cast<size_t>(size), "[%s] %u %s:%d %s:%s.%.3d %.*s\n",
                  levelToString(level_), pid, module_.c_str(), line_, date, clock, ms, n,
                  text_.c_str());
  return buffer;
}

// ---- Router --------------------------------------------------------------

void Router::post(const Msg& msg) const { post(msg, stdout); }

void Router::post(const Msg& msg, FILE* stream) const {
  if (verboseFlag() && msg.getLine() >= 1) {
    char line[kLineSize];
    msg.format(line, kLineSize - 1);
    std::fwrite(line, 1, std::strlen(line), stream);
    return;
  }
  const int n = static_cast<int>(trimmedLength(msg.getMsg(), msg.getMsgLen()));
  std::fprintf(stream, "%.*s\n", n, msg.getMsg());
}

// ---- Levels and settings -------------------------------------------------

const char* levelToString(Level level) {
  switch (level) {
    case LEVEL_USER: return "user";
    case LEVEL_ERROR: return "error";
    case LEVEL_WARN: return "warn";
    case LEVEL_NOTICE: return "notice";
    case LEVEL_DEBUG: return "debug";
  }
  return "unknown";
}

Level stringToLevel(const char* text) {
  if (text == nullptr) return static_cast<Level>(-1);
  static const struct { const char* name; Level level; } kNames[] = {
      {"user", LEVEL_USER}, {"error", LEVEL_ERROR}, {"debug", LEVEL_DEBUG},
      {"notice", LEVEL_NOTICE}, {"warn", LEVEL_WARN}};
  for (const auto& entry : kNames)
    if (std::strcmp(text, entry.name) == 0) return entry.level;
  return static_cast<Level>(-1);
}

Level filterLevel() {
  std::call_once(gFilterOnce, [] { gFilterLevel = levelFromVariable(); });
  return static_cast<Level>(gFilterLevel.load(std::memory_order_relaxed));
}

void setFilterLevel(Level level) {
  filterLevel();
  gFilterLevel = level;
}

void setDefaultFilterLevel(Level level) {
  if (levelVar().isDefault()) setFilterLevel(level);
}

bool verboseFlag() { return verboseVar().get(); }
void setVerboseFlag(bool on) { RegEnvVar<bool>::setByName("QV_MSG_VERBOSE", on); }
void enableFamily(bool on) { gFamilyEnabled = on; }
bool isFamilyEnabled() { return gFamilyEnabled; }

const Router* defaultRouter() {
  static const Router* router = new Router;  // never destroyed: posts may come late at exit
  return router;
}

const Router* router() {
  const Router* installed = gRouter.load();
  return installed ? installed : defaultRouter();
}

void setRouter(const Router* router) {
  gRouter = router;
  while (gPosting.load() != 0) std::this_thread::yield();
}

void setCurrentPIDCallback(int (*callback)()) {
  if (callback) gPidCallback = callback;
  gPidCallback.load()();
}

int callCurrentPIDCallback() { return gPidCallback.load()(); }

LevelGuard::LevelGuard(Level level) : saved_(filterLevel()) { setFilterLevel(level); }
LevelGuard::~LevelGuard() { setFilterLevel(saved_); }

// ---- Posting -------------------------------------------------------------

#define CO_MSG_DEFINE_POST(name, level)                                                   \
  void name(const char* file, int line, const char* family, const char* format,          \
            va_list args) {                                                               \
    postFiltered(level, file, line, family, format, args);                                \
  }
CO_MSG_DEFINE_POST(postUser, LEVEL_USER)
CO_MSG_DEFINE_POST(postError, LEVEL_ERROR)
CO_MSG_DEFINE_POST(postWarning, LEVEL_WARN)
CO_MSG_DEFINE_POST(postNotice, LEVEL_NOTICE)
CO_MSG_DEFINE_POST(postDebug, LEVEL_DEBUG)
#undef CO_MSG_DEFINE_POST

void postConsole(const char*, int, const char* family, const char* format, va_list args) {
  postDirect(family, format, args);
}

void postShell(const char*, int, const char* family, const char* format, va_list args) {
  postDirect(family, format, args);
}

}  // namespace CoMsg
}  // namespace Kestrix
