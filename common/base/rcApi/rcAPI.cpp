#include "common/base/rcApi/rcAPI.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>

#include "common/base/loggerBase/EnvVar.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkUtil.h"
#include "common/base/osal/CoTime.h"
#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"

namespace Kestrix {
namespace {

// Longest single wait of a call: a stop() from another thread is noticed
// within this time even when the call may wait much longer.
constexpr unsigned int STOP_CHECK_MS = 100;

// Buffers of more than this are given back after use.
constexpr size_t LARGE_TEXT = 1 << 20;

void releaseIfLarge(std::string& text) {
  if (text.capacity() > LARGE_TEXT) std::string().swap(text);
}

// A reply line longer than this fails its call: a server that never ends
// its line must not grow the client until the process dies. A caller may
// hold up to about three times a reply while it splits it into results.
constexpr int DEFAULT_MAX_REPLY_BYTES = 256 << 20;
EnvVar<int>& maxReplyBytesVar() {
  static EnvVar<int> var("KESTRIX_MAX_REPLY_BYTES", DEFAULT_MAX_REPLY_BYTES);
  return var;
}
RegEnvVar<int> gRegMaxReplyBytes(maxReplyBytesVar());

// Values below 1 keep the default.
uint64_t maxReplyBytes() {
  const int value = maxReplyBytesVar().get();
  return static_cast<uint64_t>(value > 0 ? value : DEFAULT_MAX_REPLY_BYTES);
}

// A status is "ok" or "error"; one of kilobytes is no reply, and would only
// grow a byte at a time up to the reply limit.
constexpr size_t MAX_STATUS = 64;

// An error text is shown to a user and copied into several last-error
// slots on its way up: a server cannot make one of megabytes.
constexpr size_t MAX_ERROR_TEXT = 4096;

// Makes room in text for more bytes, doubling through powers of two up to
// limit: each growth copies the text, and this way the last one before a
// power-of-two limit copies half of it rather than all of it.
void growFor(std::string& text, size_t more, uint64_t limit) {
  const size_t needed = text.size() + more;
  if (needed <= text.capacity()) return;
  text.reserve(std::max<size_t>(needed, std::min<uint64_t>(std::bit_ceil(needed), limit)));
}

std::string timedOutText() {
  char text[256];
  CoIoDescriptor::getIoError(CoIoDescriptor::IO_TIMED_OUT, text, sizeof text);
  return text;
}

}  // namespace

rcAPI::rcAPI() : reply_(std::make_unique<rcResult>()) {
  CoNetwork::init();
}

rcAPI::rcAPI(const unsigned short* parts, unsigned int count)
    : reply_(std::make_unique<rcResult>()) {
  CoNetwork::init();
  for (unsigned int i = 0; i < 4; ++i) {
    const uint64_t part = i < count && parts != nullptr ? parts[i] : 0;
    version_ |= part << (48 - 16 * i);
  }
}

rcAPI::~rcAPI() {
  dropConnection();
  CoNetwork::uninit();
}

std::string rcAPI::lastError() const {
  std::lock_guard<std::mutex> lock(stopMutex_);
  return lastError_;
}

void rcAPI::setLastError(const char* text) {
  std::lock_guard<std::mutex> lock(stopMutex_);
  lastError_ = text != nullptr ? text : "";
}

void rcAPI::dropConnection() {
  std::unique_ptr<CoIoTcpDescriptor> old;
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    old = std::move(connection_);
  }
  buffer_.reset();
  replyOwed_ = false;
}

void rcAPI::disconnect() {
  dropConnection();
}

bool rcAPI::isConnected(bool check) const {
  if (!connection_) return false;
  return !check || connection_->isActive();
}

void rcAPI::stop(const char* reason) {
  std::lock_guard<std::mutex> lock(stopMutex_);
  // No liveness probe here: it would read the socket under a waiting call.
  if (!connection_ || !connection_->isValid()) return;
  stopped_ = true;
  connection_->stop();
  lastError_ =
      reason != nullptr ? reason : CoNetworkUtil::strerror(CoNetworkUtil::NET_CONNECTION_ABORTED);
}

bool rcAPI::fail(const std::string& text, std::string& result, bool drop) {
  setLastError(text.c_str());
  result = text;
  if (drop) dropConnection();
  return false;
}

unsigned int rcAPI::msLeft(uint64_t deadline) {
  const uint64_t now = CoTime::getTime();
  return now >= deadline
             ? 0
             : static_cast<unsigned int>(std::min<uint64_t>((deadline - now) / 1000, 0xffffffffu));
}

bool rcAPI::connect(const char* host, int port, unsigned int timeoutMs) {
  dropConnection();
  timedOut_ = false;
  refused_ = false;
  buffer_.reset(new (std::nothrow) char[RECEIVE_BUFFER_SIZE]);
  if (!buffer_) {
    setLastError("Cannot allocate result buffer.");
    return false;
  }
  auto connection = std::make_unique<CoIoTcpDescriptor>(host, port, 0, 0, connectTimeoutSeconds_);
  if (!connection->lastError().empty()) {
    char refusedText[256];
    CoIoDescriptor::getIoError(CoIoDescriptor::IO_CONNECTION_REFUSED, refusedText,
                               sizeof refusedText);
    refused_ = connection->lastError() == refusedText;
    setLastError(connection->lastError().c_str());
    dropConnection();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    connection_ = std::move(connection);
  }
  rcConnectionInfo info(version_);
  info.fillInfo(connection_.get());
  std::string secret = loginSecret_.value_or(std::string());
  std::string error;
  if (!loginSecret_ && !rcLoginProof::clientSecret(secret, error)) {
    setLastError(error.c_str());
    dropConnection();
    return false;
  }
  if (!secret.empty()) rcLoginProof::sign(info, secret, static_cast<int64_t>(std::time(nullptr)));
  std::string result;
  if (call(0, "_login", info.toAttrStream().c_str(), true, result, timeoutMs)) return true;
  // Servers without a login step.
  if (result == "Unknown method: _login" || result == "Unknown method: '_login'.") return true;
  // An answer leaves the connection up; a time-out says so.
  refused_ = connection_ != nullptr && !timedOut_ && !stopped_;
  setLastError(result.c_str());
  dropConnection();
  return false;
}

bool rcAPI::sendRequest(const std::string& line, std::string& result, unsigned int timeoutMs,
                        uint64_t deadline) {
  // The socket is almost always ready to take a request line: try at once,
  // and wait only for what it did not take.
  const int first = connection_->nonBlockingWrite(
      line.data(), static_cast<unsigned int>(std::min<size_t>(line.size(), 0x7fffffff)));
  if (first < 0) return fail(connection_->lastError(), result, true);
  size_t done = static_cast<size_t>(first);
  unsigned int waitMs = timeoutMs;
  while (done < line.size()) {
    const size_t rest = line.size() - done;
    const unsigned int slice = std::min(waitMs, STOP_CHECK_MS);
    const int n = connection_->nonBlockingWriteSelect(
        line.data() + done, static_cast<unsigned int>(std::min<size_t>(rest, 0x7fffffff)), slice);
    if (n < 0) return fail(connection_->lastError(), result, true);
    done += static_cast<size_t>(n);
    waitMs = msLeft(deadline);
    if (done < line.size() && waitMs == 0 && static_cast<size_t>(n) < rest)
      return fail(timedOutText(), result, true);
    if (stopped_) break;
  }
  return true;
}

bool rcAPI::call(int objectId, const char* method, const char* params, bool sync,
                 std::string& result, unsigned int timeoutMs) {
  timedOut_ = false;
  stopped_ = false;
  if (!connection_ || !connection_->isActive())
    return fail("Connection not established.", result, false);
  const uint64_t deadline = CoTime::getTime() + uint64_t{timeoutMs} * 1000;

  request_.clear();
  rcCommand::serialize(sync ? rcCommand::SYNC : rcCommand::ASYNC, objectId, method,
                       params != nullptr ? params : "", request_);
  const bool sent = sendRequest(request_, result, timeoutMs, deadline);
  releaseIfLarge(request_);
  if (!sent) return false;

  if (!sync) {
    if (stopped_) return fail(lastError(), result, true);
    result.clear();
    return true;
  }

  reply_->reset();
  return readReply(method, result, timeoutMs, deadline);
}

bool rcAPI::awaitReply(std::string& result, unsigned int timeoutMs) {
  timedOut_ = false;
  stopped_ = false;
  if (!replyOwed_ || !connection_ || !connection_->isActive())
    return fail("No reply awaited.", result, false);
  return readReply("call", result, timeoutMs, CoTime::getTime() + uint64_t{timeoutMs} * 1000);
}

bool rcAPI::readReply(const char* method, std::string& result, unsigned int timeoutMs,
                      uint64_t deadline) {
  replyOwed_ = false;
  // The value goes to result as it arrives: a long reply is never held twice.
  result.clear();
  unsigned int waitMs = timeoutMs == 0 ? 1 : timeoutMs;
  const uint64_t maxBytes = maxReplyBytes();
  uint64_t lineBytes = 0;
  bool errorCut = false;
  for (;;) {
    const int n = connection_->nonBlockingReadSelect(buffer_.get(), RECEIVE_BUFFER_SIZE,
                                                     std::min(waitMs, STOP_CHECK_MS));
    bool complete = false;
    if (n > 0) {
      lineBytes += reply_->parse(buffer_.get(), static_cast<size_t>(n), complete);
      // Checked before the text joins result, which would otherwise grow
      // (and copy itself) once more past the limit.
      if (lineBytes - (complete ? 1 : 0) > maxBytes) {
        std::string().swap(result);
        reply_->reset();
        char text[128];
        std::snprintf(text, sizeof text,
                      "Reply too large (limit %llu bytes, KESTRIX_MAX_REPLY_BYTES)",
                      static_cast<unsigned long long>(maxBytes));
        return fail(text, result, true);
      }
      if (reply_->getStatus().size() > MAX_STATUS) {
        reply_ = std::make_unique<rcResult>();
        return fail("Bad reply: status longer than " + std::to_string(MAX_STATUS) + " bytes",
                    result, true);
      }
      growFor(result, reply_->getValue().length(), maxBytes);
      reply_->takeValue(result);
      // Any value byte means the status is complete.
      if (result.size() > MAX_ERROR_TEXT && !reply_->isOk()) {
        result.resize(MAX_ERROR_TEXT);
        errorCut = true;
      }
    }
    if (stopped_) {
      std::string reason = lastError();
      if (reason.empty()) reason = std::string(method) + " command stopped.";
      return fail(reason, result, true);
    }
    waitMs = msLeft(deadline);
    if (!complete && waitMs == 0) timedOut_ = true;
    if (n < 0) return fail(connection_->lastError(), result, true);
    if (timedOut_) {
      replyOwed_ = true;
      return fail(timedOutText(), result, false);
    }
    if (complete) {
      if (reply_->isOk()) return true;
      if (errorCut) result.append("...");
      setLastError(result.c_str());
      return false;
    }
  }
}

}  // namespace Kestrix
