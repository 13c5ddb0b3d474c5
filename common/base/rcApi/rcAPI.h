#pragma once
// The client end of the remote-call protocol: one TCP connection to a
// server, a login when it connects, and calls of one request line out and,
// for a synchronous call, one reply line back, each bounded by a time-out.
//
// A reply line longer than KESTRIX_MAX_REPLY_BYTES (default 256 MiB) fails
// its call and closes the connection; an error text is cut to 4096 bytes.
//
// The engine has no lock of its own: the client connection layer serialises
// its use. stop() is the exception: another thread may call it to break off
// a call that waits.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/base/rcApi/rcResult.h"

namespace Kestrix {

class CoIoTcpDescriptor;

class rcAPI {
 public:
  static constexpr int DEFAULT_PORT = 10000;
  static constexpr unsigned int RECEIVE_BUFFER_SIZE = 32768;
  static constexpr int CONNECT_TIMEOUT_SECONDS = 10;

  rcAPI();
  // The client version from at most four parts, the first in the top 16 bits.
  rcAPI(const unsigned short* parts, unsigned int count);
  rcAPI(const rcAPI&) = delete;
  rcAPI& operator=(const rcAPI&) = delete;
  virtual ~rcAPI();

  // Connects and logs in; timeoutMs bounds the login call.
  bool connect(const char* host, int port, unsigned int timeoutMs);
  // On false, result holds the error text (also lastError()).
  bool call(int objectId, const char* method, const char* params, bool sync, std::string& result,
            unsigned int timeoutMs);
  // After a synchronous call that timed out, waits for its reply on the same
  // connection, as call() would have; result holds the part of the value
  // that arrives from now on. False at once when no reply is owed.
  bool awaitReply(std::string& result, unsigned int timeoutMs);
  void disconnect();
  bool isConnected(bool check) const;
  // Breaks off a waiting call; may come from another thread.
  void stop(const char* reason);

  std::string lastError() const;
  void setLastError(const char* text);
  bool timedOut() const { return timedOut_; }
  // Whether the last connect() was turned away: nothing listened at the
  // port, or the server answered the login with an error.
  bool refused() const { return refused_; }
  // Whether the reply of a call that timed out may still come (awaitReply).
  bool replyOwed() const { return replyOwed_; }
  // The TCP connect time-out of later connects, in whole seconds.
  void setConnectTimeout(int seconds) { connectTimeoutSeconds_ = seconds; }
  // The secret later logins prove, in place of KESTRIX_SECRET_FILE's: a
  // server calling its clients back proves its own. Empty: no proof.
  void setLoginSecret(std::string secret) { loginSecret_ = std::move(secret); }
  bool stopped() const { return stopped_; }
  uint64_t getVersion() const { return version_; }

 private:
  bool fail(const std::string& text, std::string& result, bool dropConnection);
  void dropConnection();
  bool sendRequest(const std::string& line, std::string& result, unsigned int timeoutMs,
                   uint64_t deadline);
  bool readReply(const char* method, std::string& result, unsigned int timeoutMs,
                 uint64_t deadline);
  static unsigned int msLeft(uint64_t deadline);

  std::unique_ptr<CoIoTcpDescriptor> connection_;
  uint64_t version_ = 0;
  int connectTimeoutSeconds_ = CONNECT_TIMEOUT_SECONDS;
  std::optional<std::string> loginSecret_;
  // The reply of a timed-out call is still to come on this connection.
  bool replyOwed_ = false;
  bool refused_ = false;
  std::unique_ptr<rcResult> reply_;
  std::string lastError_;
  std::unique_ptr<char[]> buffer_;
  std::atomic<bool> timedOut_{false};
  std::atomic<bool> stopped_{false};
  std::string request_;
  // Guards the connection pointer and the last error against stop() from
  // another thread.
  mutable std::mutex stopMutex_;
};

}  // namespace Kestrix
