#include "common/base/tcp/CoIoDescriptor.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoTime.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace {

// The blocking loops wake this often to look at the stop flag.
constexpr int STOP_POLL_MS = 1000;
// Would-block failures of one wait in blockingWrite before it gives up.
constexpr int MAX_WOULD_BLOCK_WAITS = 50;

int waitMs(unsigned int timeoutMs) {
  return timeoutMs > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

}  // namespace

CoIoDescriptor::IoError CoIoDescriptor::getIoError() {
  const int code = CoSocketError::last();
  const struct {
    int code;
    IoError error;
  } known[] = {
      {CoSocketError::NOT_CONNECTED, IO_NOT_CONNECTED},
      {CoSocketError::INTERRUPTED, IO_INTERRUPTED},
      {CoSocketError::AGAIN, IO_WOULD_BLOCK},
      {CoSocketError::WOULD_BLOCK, IO_WOULD_BLOCK},
      {CoSocketError::CONNECTION_ABORTED, IO_CONNECTION_ABORTED},
      {CoSocketError::CONNECTION_RESET, IO_CONNECTION_RESET},
      {CoSocketError::TIMED_OUT, IO_TIMED_OUT},
      {CoSocketError::CONNECTION_REFUSED, IO_CONNECTION_REFUSED},
      {CoSocketError::UNKNOWN_HOST, IO_HOST_NOT_FOUND},
  };
  for (const auto& entry : known)
    if (entry.code == code) return entry.error;
  CO_POST_NOTICE("Unexpected WinSock error: %x", static_cast<unsigned int>(code));
  // Callers read the same error again for its text.
  CoSocketError::setLast(code);
  return IO_SYSTEM_ERROR;
}

void CoIoDescriptor::getIoError(IoError error, char* buf, int size) {
  if (buf == nullptr || size <= 0) return;
  std::string text;
  switch (error) {
    case IO_NO_ERROR:
      break;
    case IO_SYSTEM_ERROR:
      text = CoSocketError::lastText();
      break;
    case IO_INTERRUPTED:
      text = CoSocketError::text(CoSocketError::INTERRUPTED);
      break;
    case IO_WOULD_BLOCK:
      text = CoSocketError::text(CoSocketError::WOULD_BLOCK);
      break;
    case IO_NOT_CONNECTED:
      text = CoSocketError::text(CoSocketError::NOT_CONNECTED);
      break;
    case IO_CONNECTION_ABORTED:
      text = CoSocketError::text(CoSocketError::CONNECTION_ABORTED);
      break;
    case IO_CONNECTION_RESET:
      text = CoSocketError::text(CoSocketError::CONNECTION_RESET);
      break;
    case IO_TIMED_OUT:
      text = CoSocketError::text(CoSocketError::TIMED_OUT);
      break;
    case IO_CONNECTION_REFUSED:
      text = CoSocketError::text(CoSocketError::CONNECTION_REFUSED);
      break;
    case IO_HOST_NOT_FOUND:
      text = CoSocketError::hostNotFoundText();
      break;
  }
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, text.data(), n);
  buf[n] = 0;
}

CoIoDescriptor::CoIoDescriptor(CoIoDescriptor&& other) noexcept
    : id_(other.id_), lastError_(std::move(other.lastError_)), stopped_(other.stopped_.load()) {
  other.id_ = -1;
}

CoIoDescriptor& CoIoDescriptor::operator=(CoIoDescriptor&& other) noexcept {
  if (this == &other) return *this;
  id_ = other.id_;
  lastError_ = std::move(other.lastError_);
  stopped_ = other.stopped_.load();
  other.id_ = -1;
  return *this;
}

CoIoDescriptor::~CoIoDescriptor() {
  close();
}

void CoIoDescriptor::getSocketIP(std::string&) const {
  QV_ASSERT_FLUSH(false);
}
void CoIoDescriptor::getPeerIP(std::string&) const {
  QV_ASSERT_FLUSH(false);
}

const char* CoIoDescriptor::setLastError(IoError error) {
  char text[256];
  getIoError(error, text, sizeof text);
  lastError_ = text;
  return lastError_.c_str();
}

bool CoIoDescriptor::close() {
  if (!isValid()) return true;
  CO_POST_DEBUG("Closing file descriptor %d", id_);
  // The handle is released even when close reports a failure, so it is never
  // closed twice (a retry could close a handle another thread just got).
  const int result = CoSocketOps::close(id_);
  const IoError cause = result == 0 ? IO_NO_ERROR : getIoError();
  id_ = -1;
  if (result == 0 || cause == IO_INTERRUPTED) return true;
  setLastError(cause);
  return false;
}

int CoIoDescriptor::waitReadable() {
  for (;;) {
    const int ready = CoSocketOps::wait(id_, true, false, STOP_POLL_MS);
    if (ready > 0) return 1;
    if (ready < 0) {
      if (getIoError() == IO_INTERRUPTED) continue;
      setLastError(CoSocketError::lastText());
      return -1;
    }
    if (stopped_) {
      setLastError(IO_CONNECTION_ABORTED);
      return 0;
    }
  }
}

int CoIoDescriptor::blockingRead(void* buf, unsigned int size) {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return -1;
  }
  stopped_ = false;
  if (size == 0) return 0;
  char* out = static_cast<char*>(buf);
  unsigned int done = 0;
  while (done < size) {
    if (waitReadable() <= 0) return -1;
    const int n = nonBlockingRead(out + done, size - done);
    if (n < 0) return -1;
    done += static_cast<unsigned int>(n);
  }
  return static_cast<int>(size);
}

int CoIoDescriptor::blockingWrite(const void* buf, unsigned int size) {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return -1;
  }
  stopped_ = false;
  if (size == 0) return 0;
  const char* in = static_cast<const char*>(buf);
  unsigned int done = 0;
  while (done < size) {
    if (stopped_) {
      setLastError(IO_CONNECTION_ABORTED);
      return -1;
    }
    bool writable = false;
    int wouldBlock = 0;
    while (!writable && !stopped_) {
      const int ready = CoSocketOps::wait(id_, true, true, STOP_POLL_MS);
      if (ready < 0) {
        const IoError cause = getIoError();
        if (cause == IO_WOULD_BLOCK) {
          if (++wouldBlock >= MAX_WOULD_BLOCK_WAITS) {
            char text[256];
            getIoError(IO_WOULD_BLOCK, text, sizeof text);
            char message[512];
            std::snprintf(message, sizeof message, "Cannot select on %d: %s", id_, text);
            setLastError(std::string(message));
            return -1;
          }
          CoTime::sleepMs(1);
          continue;
        }
        if (cause == IO_INTERRUPTED) continue;
        setLastError(CoSocketError::lastText());
        return -1;
      }
      if (ready & CoSocketOps::READY_READ) {
        // Readable while we wait to write: either data or the peer's close.
        const long peeked = CoSocketOps::peek(id_);
        if (peeked == 0 ||
            (peeked < 0 && CoSocketError::last() == CoSocketError::CONNECTION_RESET)) {
          setLastError(IO_CONNECTION_RESET);
          return -1;
        }
      }
      writable = (ready & CoSocketOps::READY_WRITE) != 0;
    }
    if (!writable) continue;
    const int n = nonBlockingWrite(in + done, size - done);
    if (n < 0) return -1;
    done += static_cast<unsigned int>(n);
  }
  return static_cast<int>(size);
}

int CoIoDescriptor::nonBlockingReadSelect(void* buf, unsigned int size, unsigned int timeoutMs) {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return -1;
  }
  const int ready = CoSocketOps::wait(id_, true, false, waitMs(timeoutMs));
  if (ready > 0) return nonBlockingRead(buf, size);
  if (ready == 0 || getIoError() == IO_INTERRUPTED) return 0;
  setLastError(CoSocketError::lastText());
  return -1;
}

int CoIoDescriptor::nonBlockingWriteSelect(const void* buf, unsigned int size,
                                           unsigned int timeoutMs) {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return -1;
  }
  const int ready = CoSocketOps::wait(id_, false, true, waitMs(timeoutMs));
  if (ready > 0) return nonBlockingWrite(buf, size);
  if (ready == 0 || getIoError() == IO_INTERRUPTED) return 0;
  setLastError(CoSocketError::lastText());
  return -1;
}

int CoIoDescriptor::nonBlockingRead(void* buf, unsigned int size) {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return 0;
  }
  long n;
  do {
    n = CoSocketOps::read(id_, buf, size);
  } while (n < 0 && getIoError() == IO_INTERRUPTED);
  if (n < 0) {
    if (getIoError() == IO_WOULD_BLOCK) return 0;
    setLastError(CoSocketError::lastText());
    return -1;
  }
  if (n == 0 && size != 0) {
    setLastError(IO_CONNECTION_RESET);
    return -1;
  }
  return static_cast<int>(n);
}

int CoIoDescriptor::nonBlockingWrite(const void* buf, unsigned int size) {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return -1;
  }
  if (size == 0) return 0;
  long n;
  do {
    n = CoSocketOps::write(id_, buf, size);
  } while (n < 0 && getIoError() == IO_INTERRUPTED);
  if (n < 0) {
    if (getIoError() == IO_WOULD_BLOCK) return 0;
    setLastError(CoSocketError::lastText());
    return -1;
  }
  if (n == 0) {
    setLastError(IO_CONNECTION_RESET);
    return -1;
  }
  return static_cast<int>(n);
}

bool CoIoDescriptor::isActive() {
  if (!isValid()) {
    setLastError(IO_NOT_CONNECTED);
    return false;
  }
  const long n = CoSocketOps::peek(id_);
  if (n > 0) return true;
  if (n == 0) {
    setLastError(IO_CONNECTION_RESET);
    return false;
  }
  if (getIoError() == IO_WOULD_BLOCK) return true;
  setLastError(CoSocketError::lastText());
  CO_POST_DEBUG("%s", lastError_.c_str());
  return false;
}

int CoIoDescriptor::readLine(char* buff, int size) {
  QV_ASSERT_FLUSH(buff != 0);
  int pos = 0;
  for (;;) {
    char c;
    if (blockingRead(&c, 1) != 1) {
      setLastError(IO_CONNECTION_RESET);
      return 0;
    }
    if (c == '\n') {
      if (size > 0) buff[pos] = 0;
      return pos;
    }
    if (size <= 0) continue;
    buff[pos] = c;
    if (pos < size - 1) ++pos;
  }
}

bool CoIoDescriptor::writeStr(const char* str) {
  QV_ASSERT_FLUSH(str != 0);
  const unsigned int length = static_cast<unsigned int>(std::strlen(str));
  return blockingWrite(str, length) == static_cast<int>(length);
}

void CoIoDescriptor::setSendBufferSizeSocketOption(int size) {
  if (CoSocketOps::setSendBufferSize(id_, size) == 0) return;
  setLastError(CoSocketError::lastText());
  CO_POST_DEBUG("Can't set socket option: '%s'.", lastError_.c_str());
}

void CoIoDescriptor::setReceiveBufferSizeSocketOption(int size) {
  if (CoSocketOps::setReceiveBufferSize(id_, size) == 0) return;
  setLastError(CoSocketError::lastText());
  CO_POST_DEBUG("Can't set socket option: '%s'.", lastError_.c_str());
}

}  // namespace Kestrix
