#include "common/base/loggerBase/CoLastErrLogger.h"

#include <cstdarg>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

CoLastErrLogger::CoLastErrLogger(bool silent) {
  if (silent) record().silent = true;
}

CoLastErrLogger::CoLastErrLogger(const CoLastErrLogger& other) {
  if (other.rec_) rec_ = std::make_unique<Record>(*other.rec_);
}

CoLastErrLogger& CoLastErrLogger::operator=(const CoLastErrLogger& other) {
  if (this == &other) return *this;
  if (other.rec_) {
    record() = *other.rec_;
  } else if (rec_) {
    rec_->silent = false;
    rec_->lastError.clear();
  }
  return *this;
}

CoLastErrLogger::~CoLastErrLogger() = default;

CoLastErrLogger::Record& CoLastErrLogger::record() const {
  if (!rec_) rec_ = std::make_unique<Record>();
  return *rec_;
}

const CoLastErrLogger& CoLastErrLogger::setModule(const char* file, int line) const {
  Record& r = record();
  r.module = file ? file : "";
  r.line = line;
  return *this;
}

void CoLastErrLogger::postError(const char* fmt, ...) const {
  QV_ASSERT_FLUSH(fmt);
  va_list args;
  va_start(args, fmt);
  const std::string text = CoMsg::formatBody(fmt, args);
  va_end(args);
  Record& r = record();
  const CoMsg::Msg msg(text.c_str(), r.module.c_str(), r.line, CoMsg::LEVEL_ERROR, "");
  r.lastError = msg.getMsg();
  if (!r.silent) CoMsg::router()->post(msg);
}

const char* CoLastErrLogger::lastError() const { return rec_ ? rec_->lastError.c_str() : ""; }
bool CoLastErrLogger::hasError() const { return rec_ && !rec_->lastError.empty(); }

void CoLastErrLogger::clearLastError() const {
  if (rec_) rec_->lastError.clear();
}

void CoLastErrLogger::assignError(const CoLastErrLogger& other) const {
  if (other.rec_) {
    Record& r = record();
    r.module = other.rec_->module;
    r.line = other.rec_->line;
    r.lastError = other.rec_->lastError;
  } else if (rec_) {
    rec_->lastError.clear();
  }
}

void CoLastErrLogger::setSilentMode(bool silent) const {
  if (!silent && !rec_) return;
  record().silent = silent;
}

bool CoLastErrLogger::getSilentMode() const { return rec_ && rec_->silent; }

}  // namespace Kestrix
